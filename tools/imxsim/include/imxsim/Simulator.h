// A whole simulated i.MX RT1050 board for tests, the demo and the imxsim
// program: the boot ROM on the emulated USB bus as a HID device and/or on a
// pseudo-terminal, and, once the boot ROM has jumped into a loaded image, the
// recovery loader: the boot ROM device goes away and a simulated module
// (tools/modulesim) with the loader's serial number 0xDEADDEAD appears on the
// emulated USB bus, answers system option 39 with the chip's identifier and
// takes firmware through the module's upgrade protocol.
//
// The process must run under the umockdev preload (a *_usbemu_test.cpp
// program); the testbed must outlive the simulator.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "imxsim/BootRom.h"
#include "imxsim/HidDevice.h"
#include "imxsim/PtyTransport.h"
#include "modulesim/SimModule.h"
#include "modulesim/UsbTransport.h"
#include "usb_module.h"

namespace imxsim {

struct SimulatorOptions {
  BootRomConfig rom;
  bool hid = true;                // the boot ROM's HID device on the emulated USB bus
  bool pty = false;               // the boot ROM's UART on a pseudo-terminal instead of the HID device
  unsigned baud = 0;              // pace the UART at this rate (0: unpaced)
  std::string ptyLink;            // a symbolic link to the pseudo-terminal
  unsigned goneAfterMs = 50;      // the boot ROM device leaves this long after the jump
  unsigned loaderUpAfterMs = 300; // the loader module appears this long after the jump
  // The loader module: serial 0xDEADDEAD, running its loader from the start;
  // its option 39 words are filled in from the unique ID at the jump
  // (subindex 0: fuse word CFG0, 1: CFG1, 2 and 3: 0) unless loaderWords is set.
  modulesim::ModuleConfig loader = defaultLoader();
  std::optional<std::array<uint32_t, 4>> loaderWords;
  // A restart of the loader module (a system reset) before any firmware was
  // written into it brings the boot ROM back, as a chip with nothing to boot
  // would (the imxsim program turns this on). Needs the loader module's event
  // log: leave it alone then.
  bool bootRomAfterReset = false;
  // After such a restart the boot ROM's device is back only this much later
  // (a real chip re-enumerates after its reset).
  unsigned bootRomBackAfterMs = 0;

  static modulesim::ModuleConfig defaultLoader();
};

class Simulator {
public:
  Simulator(qwemu::UsbTestbed &testbed, SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  bool ok() const;
  BootRom &rom() { return rom_; }
  // The pseudo-terminal the host opens (empty without pty).
  std::string ptyPath() const;
  // The boot ROM's HID device while it is on the bus (null before and after).
  HidDevice *hidDevice();
  bool bootRomPresent() const;
  // The loader module once it is up (null before).
  modulesim::SimModule *loaderModule();
  modulesim::UsbTransport *loaderTransport();
  bool waitForLoader(std::chrono::milliseconds timeout);
  // Power-on reset of the board: the loader module leaves the bus (powered
  // off; the object stays valid until the simulator goes), the boot ROM's RAM
  // is cleared and its device is back. Not from a transport's or the
  // module's thread.
  void resetBoard();

  // The option 39 words the loader module answers for this unique ID.
  static std::array<uint32_t, 4> identifierWords(uint64_t uniqueId);

private:
  void resetBoardAfter(unsigned backAfterMs);
  void onJump(uint32_t address);
  void worker();
  void plugBootRom();

  qwemu::UsbTestbed &testbed_;
  SimulatorOptions options_;
  BootRom rom_;
  std::unique_ptr<HidDevice> hid_;
  std::vector<std::unique_ptr<HidDevice>> retired_; // devices that left the bus
  std::vector<std::unique_ptr<modulesim::SimModule>> retiredLoaders_;
  std::vector<std::unique_ptr<modulesim::UsbTransport>> retiredLoaderUsb_;
  std::unique_ptr<PtyTransport> pty_;
  std::unique_ptr<modulesim::SimModule> loader_;
  std::unique_ptr<modulesim::UsbTransport> loaderUsb_;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::optional<std::chrono::steady_clock::time_point> jumpedAt_;
  bool bootRomGone_ = false;
  bool loaderRestarted_ = false;
  std::mutex swapLock_; // one resetBoard at a time
  std::thread worker_;
};

} // namespace imxsim
