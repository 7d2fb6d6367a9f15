// lpcsim: a simulated NXP LPC17xx boot ROM on a pseudo-terminal. It prints
// the port path (or links it where --link says), runs until interrupted and
// can save the flash contents when it ends. SIGHUP power-cycles the chip.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "lpcsim/Simulator.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t resetRequested = 0;
void onSignal(int) { stopRequested = 1; }
void onHangup(int) { resetRequested = 1; }

bool parseWord(const std::string &text, uint32_t &out) {
  char *end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || v > 0xFFFFFFFFull)
    return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// "A:B" into two parts.
std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos)
      return parts;
    from = at + 1;
  }
}

std::string unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Simulated NXP LPC17xx boot ROM (serial ISP) on a pseudo-terminal"};
  std::string link, flashIn, flashOut, garbage;
  std::vector<std::string> uid, resend, refuse;
  bool noPacing = false, silent = false, verbose = false;
  std::string partId;
  unsigned dropEcho = 0;
  app.add_option("-l,--link", link, "make a symbolic link to the port at this path");
  app.add_option("-u,--uid", uid, "the four unique-ID words (decimal or 0x hex)")->expected(4);
  app.add_option("-p,--part-id", partId, "part identification number (default LPC1768, 0x26013F37)");
  app.add_flag("--no-pacing", noPacing, "answer at once instead of at the serial rate");
  app.add_option("--flash-in", flashIn, "load the flash from this binary file at address 0");
  app.add_option("--flash-out", flashOut, "save the flash (512 KiB) to this file on exit");
  app.add_option("--resend", resend, "answer checksum group G of every write with RESEND: G[:times|always]");
  app.add_option("--refuse", refuse, "refuse command letter L with code C: L:C[:times]");
  app.add_flag("--silent", silent, "receive but never answer");
  app.add_option("--drop-echo", dropEcho, "leave out this many echo bytes");
  app.add_option("--sync-garbage", garbage, "bytes sent before \"Synchronized\" (\\xHH escapes)");
  app.add_flag("-v,--verbose", verbose, "print each command the chip receives");
  CLI11_PARSE(app, argc, argv);

  lpcsim::Simulator sim;
  if (!uid.empty()) {
    std::array<uint32_t, 4> words{};
    for (size_t i = 0; i < 4; ++i)
      if (!parseWord(uid[i], words[i])) {
        std::cerr << "lpcsim: bad unique-ID word " << uid[i] << "\n";
        return 2;
      }
    sim.setUniqueId(words);
  }
  if (!partId.empty()) {
    uint32_t id;
    if (!parseWord(partId, id)) {
      std::cerr << "lpcsim: bad part id " << partId << "\n";
      return 2;
    }
    sim.setPartId(id);
  }
  for (const std::string &r : resend) {
    auto p = split(r, ':');
    uint32_t group = 0, times = 1;
    if (!parseWord(p[0], group) || (p.size() > 1 && p[1] != "always" && !parseWord(p[1], times))) {
      std::cerr << "lpcsim: bad --resend " << r << "\n";
      return 2;
    }
    sim.resendGroup(group, p.size() > 1 && p[1] == "always" ? lpcsim::Simulator::kAlways : times);
  }
  for (const std::string &r : refuse) {
    auto p = split(r, ':');
    uint32_t code = 0, times = lpcsim::Simulator::kAlways;
    if (p.size() < 2 || p[0].size() != 1 || !parseWord(p[1], code) || (p.size() > 2 && !parseWord(p[2], times))) {
      std::cerr << "lpcsim: bad --refuse " << r << "\n";
      return 2;
    }
    sim.refuseCommand(p[0][0], static_cast<int>(code), times);
  }
  if (!flashIn.empty()) {
    std::ifstream in(flashIn, std::ios::binary);
    if (!in) {
      std::cerr << "lpcsim: cannot read " << flashIn << "\n";
      return 2;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    sim.loadFlash(0, bytes);
  }
  sim.setSilent(silent);
  sim.dropEchoBytes(dropEcho);
  sim.setSyncGarbage(unescape(garbage));
  sim.setPacing(!noPacing);

  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGHUP, onHangup); // power cycle: the chip waits for "?" again
  if (!sim.start(link)) {
    std::cerr << "lpcsim: " << sim.error() << "\n";
    return 1;
  }
  std::cout << sim.path() << std::endl;

  size_t shown = 0;
  while (!stopRequested) {
    usleep(100 * 1000);
    if (resetRequested) {
      resetRequested = 0;
      sim.reset();
      if (verbose)
        std::cerr << "lpcsim: reset\n";
    }
    if (verbose) {
      std::vector<std::string> cmds = sim.commands();
      for (; shown < cmds.size(); ++shown)
        std::cerr << "lpcsim: " << cmds[shown] << "\n";
    }
  }
  sim.stop();
  if (!flashOut.empty()) {
    std::vector<uint8_t> f = sim.flash();
    std::string tmp = flashOut + ".tmp";
    std::ofstream out(tmp, std::ios::binary);
    out.write(reinterpret_cast<const char *>(f.data()), static_cast<std::streamsize>(f.size()));
    out.close();
    if (!out || std::rename(tmp.c_str(), flashOut.c_str()) != 0) {
      std::cerr << "lpcsim: cannot write " << flashOut << "\n";
      return 1;
    }
  }
  return 0;
}
