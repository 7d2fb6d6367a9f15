// imxsim: a simulated i.MX RT1050 boot ROM to try the updater's recovery with.
//
//   imxsim --usb -- updater -N -s USB
//   imxsim --pty --link /tmp/ttyIMX -- updater -N -s /tmp/ttyIMX
//
// The boot ROM answers the Serial Download Protocol on the emulated USB bus
// (a HID device) or on a pseudo-terminal. Once it jumps into a loaded image,
// a simulated recovery loader module (serial 0xDEADDEAD) appears on the
// emulated USB bus. Without a command it runs until SIGINT or SIGTERM.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "imxsim/BootRom.h"
#include "imxsim/PtyTransport.h"
#ifdef IMXSIM_HAVE_USB
#include "imxsim/Simulator.h"
#endif

extern char **environ;

namespace {

int verbosity = 0;

void say(int level, const std::string &text) {
  if (verbosity >= level)
    std::fprintf(stderr, "imxsim: %s\n", text.c_str());
}

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X ", v);
    s += b;
  }
  return s;
}

#ifdef IMXSIM_HAVE_USB
void reexecUnderUmockdev(char **argv) {
  qwemu::UsbTestbed::reexecUnderPreload(argv);
  std::exit(1);
}
#endif

int runCommand(const std::vector<std::string> &command, const sigset_t &original) {
  std::vector<char *> args;
  for (const std::string &a : command)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &original);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "imxsim: cannot run %s: %s\n", args[0], std::strerror(rc));
    return 127;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"A simulated i.MX RT1050 boot ROM (Serial Download Protocol over USB HID or a serial line) and the "
               "recovery loader module it starts, for trying the updater's recovery without hardware."};
  bool usb = false, pty = false, imx6 = false;
  std::string link, readyFile, idText = "0123456789ABCDEF";
  unsigned baud = 0;
  std::vector<std::string> command;
  app.add_flag("--usb", usb, "the boot ROM's HID device on the emulated USB bus");
  app.add_flag("--pty", pty, "the boot ROM's UART on a pseudo-terminal");
  app.add_option("--link", link, "a symbolic link to the pseudo-terminal");
  app.add_option("--baud", baud, "pace the UART at this rate (default: unpaced)");
  app.add_option("--id", idText, "the chip's 64-bit unique ID in hex (fuse words CFG1:CFG0)");
  app.add_flag("--imx6-order", imx6, "answer WRITE_FILE in the older i.MX6 order (HAB right after the command)");
  app.add_option("--ready-file", readyFile, "write the boot ROM's whereabouts to this file once it is up");
  app.add_flag("-v", verbosity, "report commands (-vv: also answers) on standard error");
  app.footer("After \"--\", a command to run while the boot ROM is up; its exit status is returned.");
  app.add_option("command", command, "command to run")->allow_extra_args();
  app.positionals_at_end(true);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e);
  }
  if (usb == pty) {
    std::fprintf(stderr, "imxsim: choose one of --usb and --pty\n");
    return 2;
  }
  imxsim::BootRomConfig config;
  char *end = nullptr;
  config.uniqueId = std::strtoull(idText.c_str(), &end, 16);
  if (idText.empty() || *end) {
    std::fprintf(stderr, "imxsim: bad --id \"%s\"\n", idText.c_str());
    return 2;
  }
  config.order = imx6 ? imxsim::Order::IMX6 : imxsim::Order::RT;

#ifdef IMXSIM_HAVE_USB
  if (!qwemu::UsbTestbed::preloaded())
    reexecUnderUmockdev(argv);
#else
  if (usb) {
    std::fprintf(stderr, "imxsim: built without the USB emulation\n");
    return 2;
  }
#endif

  sigset_t stopSignals, original;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &original);

  int status = 0;
  std::string where;
#ifdef IMXSIM_HAVE_USB
  auto testbed = std::make_unique<qwemu::UsbTestbed>();
  imxsim::SimulatorOptions options;
  options.rom = config;
  options.hid = usb;
  options.pty = pty;
  options.baud = baud;
  options.ptyLink = link;
  options.bootRomAfterReset = true; // -N resets the loader; a following recovery finds the boot ROM
  auto sim = std::make_unique<imxsim::Simulator>(*testbed, options);
  if (!sim->ok()) {
    std::fprintf(stderr, "imxsim: cannot start the boot ROM\n");
    return 1;
  }
  imxsim::BootRom &rom = sim->rom();
  where = usb ? "usb 1FC9:0130" : "serial " + sim->ptyPath();
#else
  imxsim::BootRom rom(config);
  imxsim::PtyTransport transport(rom, baud, link);
  if (!transport.ok()) {
    std::fprintf(stderr, "imxsim: %s\n", transport.error().c_str());
    return 1;
  }
  where = "serial " + transport.path();
#endif
#ifndef IMXSIM_HAVE_USB
  rom.setJumpListener([](uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof text, "jump to 0x%08X (no USB bus for the loader to appear on)", address);
    say(0, text);
  });
#endif
  char idLine[32];
  std::snprintf(idLine, sizeof idLine, "%016llX", static_cast<unsigned long long>(config.uniqueId));
  std::string line = "boot rom " + std::string(idLine) + ": " + where;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (!readyFile.empty()) {
    std::string temp = readyFile + ".tmp";
    std::ofstream(temp) << line << "\n";
    std::rename(temp.c_str(), readyFile.c_str());
  }
  if (!command.empty()) {
    status = runCommand(command, original);
  } else {
    int sig = 0;
    sigwait(&stopSignals, &sig);
  }
  if (verbosity >= 1)
    for (const auto &c : rom.commands())
      say(1, "command " + hex(c));
#ifdef IMXSIM_HAVE_USB
  sim.reset();
  testbed.reset();
#endif
  return status;
}
