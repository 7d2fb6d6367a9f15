#include "imxsim/Simulator.h"

#include <algorithm>

namespace imxsim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

modulesim::ModuleConfig SimulatorOptions::defaultLoader() {
  modulesim::ModuleConfig c;
  c.serial = modulesim::kLoaderSerial;
  c.name = "Recovery Loader";
  c.startInLoader = true;
  return c;
}

std::array<uint32_t, 4> Simulator::identifierWords(uint64_t uniqueId) {
  return {uint32_t(uniqueId), uint32_t(uniqueId >> 32), 0, 0};
}

Simulator::Simulator(qwemu::UsbTestbed &testbed, SimulatorOptions options)
    : testbed_(testbed), options_(std::move(options)), rom_(options_.rom) {
  rom_.setJumpListener([this](uint32_t address) { onJump(address); });
  if (options_.pty)
    options_.hid = false; // one transport: a board has its boot ROM on USB or on a UART
  if (options_.hid) {
    plugBootRom();
    rom_.setSink([this](const Answer &a) {
      // HID answers are whole reports: 3 with 4 bytes, 4 with 64.
      std::lock_guard<std::mutex> g(lock_);
      if (!hid_ || bootRomGone_ || a.report == 0)
        return;
      std::vector<uint8_t> r(a.report == 3 ? 5 : 65, 0);
      r[0] = a.report;
      std::copy_n(a.bytes.begin(), std::min(a.bytes.size(), r.size() - 1), r.begin() + 1);
      if (a.shortReport)
        r.pop_back();
      hid_->queueReport(r);
    });
  }
  if (options_.pty)
    pty_ = std::make_unique<PtyTransport>(rom_, options_.baud, options_.ptyLink);
  worker_ = std::thread([this] { worker(); });
}

Simulator::~Simulator() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  if (hid_) { // no more reports in before the boot ROM goes
    hid_->setOutHandler(nullptr);
    hid_->unplug();
  }
  pty_.reset();
  rom_.setSink(nullptr);
  rom_.setJumpListener(nullptr);
  if (loader_)
    loader_->setEventLog(nullptr);
  loaderUsb_.reset();
  loader_.reset();
  retiredLoaderUsb_.clear();
  retiredLoaders_.clear();
  hid_.reset();
  retired_.clear();
}

bool Simulator::ok() const {
  if (options_.hid && !(hid_ && hid_->ok()))
    return false;
  if (options_.pty && !(pty_ && pty_->ok()))
    return false;
  return testbed_.ok();
}

std::string Simulator::ptyPath() const { return pty_ ? pty_->path() : std::string(); }

HidDevice *Simulator::hidDevice() {
  std::lock_guard<std::mutex> g(lock_);
  return bootRomGone_ ? nullptr : hid_.get();
}

bool Simulator::bootRomPresent() const {
  std::lock_guard<std::mutex> g(lock_);
  return !bootRomGone_;
}

modulesim::SimModule *Simulator::loaderModule() {
  std::lock_guard<std::mutex> g(lock_);
  return loader_.get();
}

modulesim::UsbTransport *Simulator::loaderTransport() {
  std::lock_guard<std::mutex> g(lock_);
  return loaderUsb_.get();
}

bool Simulator::waitForLoader(milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock_);
  return wake_.wait_for(g, timeout, [this] { return loader_ != nullptr; });
}

void Simulator::onJump(uint32_t) {
  // On a transport's thread (umockdev's worker for HID): the device must not
  // be unplugged here, so the worker does it.
  std::lock_guard<std::mutex> g(lock_);
  if (!jumpedAt_)
    jumpedAt_ = Clock::now();
  wake_.notify_all();
}

void Simulator::worker() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    wake_.wait(g, [this] { return stop_ || jumpedAt_.has_value() || loaderRestarted_; });
    if (stop_)
      return;
    if (loaderRestarted_) {
      // The loader restarts: with new firmware in place the module runs it;
      // without, the chip finds nothing to boot and its boot ROM is back.
      loaderRestarted_ = false;
      modulesim::SimModule *m = loader_.get();
      g.unlock();
      bool firmware = false;
      if (m)
        for (const auto &b : m->blocks())
          firmware = firmware || !b.loader;
      if (!firmware)
        resetBoardAfter(options_.bootRomBackAfterMs);
      g.lock();
      continue;
    }
    const auto jumped = *jumpedAt_;
    if (wake_.wait_until(g, jumped + milliseconds(options_.goneAfterMs), [this] { return stop_; }))
      return;
    bootRomGone_ = true;
    HidDevice *hid = hid_.get();
    g.unlock();
    if (hid)
      hid->unplug();
    g.lock();
    if (wake_.wait_until(g, jumped + milliseconds(options_.loaderUpAfterMs), [this] { return stop_; }))
      return;
    modulesim::ModuleConfig c = options_.loader;
    auto words = options_.loaderWords ? *options_.loaderWords : identifierWords(rom_.config().uniqueId);
    for (int i = 0; i < 4; ++i)
      c.fingerprint[i] = words[size_t(i)];
    g.unlock();
    auto module = std::make_unique<modulesim::SimModule>(c);
    if (options_.bootRomAfterReset)
      module->setEventLog([this](const std::string &text) {
        // Called with the module's lock held: only note it for the worker.
        if (text != "restarting")
          return;
        std::lock_guard<std::mutex> l(lock_);
        loaderRestarted_ = true;
        wake_.notify_all();
      });
    auto usb = std::make_unique<modulesim::UsbTransport>(*module, testbed_);
    g.lock();
    loader_ = std::move(module);
    loaderUsb_ = std::move(usb);
    jumpedAt_.reset();
    wake_.notify_all();
  }
}

void Simulator::plugBootRom() {
  if (!options_.hid)
    return;
  auto fresh = std::make_unique<HidDevice>(testbed_, HidDeviceConfig{});
  fresh->setOutHandler([this](const uint8_t *data, size_t length) { rom_.report(data, length); });
  std::lock_guard<std::mutex> g(lock_);
  if (hid_)
    retired_.push_back(std::move(hid_)); // umockdev may still hold on to its handlers
  hid_ = std::move(fresh);
}

void Simulator::resetBoard() { resetBoardAfter(0); }

void Simulator::resetBoardAfter(unsigned backAfterMs) {
  std::lock_guard<std::mutex> swap(swapLock_);
  std::unique_ptr<modulesim::SimModule> module;
  std::unique_ptr<modulesim::UsbTransport> usb;
  {
    std::lock_guard<std::mutex> g(lock_);
    module = std::move(loader_);
    usb = std::move(loaderUsb_);
  }
  if (module) {
    if (options_.bootRomAfterReset)
      module->setEventLog(nullptr);
    module->powerOff(); // leaves the bus and stays off
  }
  HidDevice *old = nullptr;
  {
    std::lock_guard<std::mutex> g(lock_);
    old = bootRomGone_ ? nullptr : hid_.get();
  }
  if (old)
    old->unplug();
  if (backAfterMs > 0)
    std::this_thread::sleep_for(milliseconds(backAfterMs));
  rom_.reset();
  plugBootRom();
  std::lock_guard<std::mutex> g(lock_);
  // Kept (powered off): a caller may still hold a pointer to the module.
  if (module)
    retiredLoaders_.push_back(std::move(module));
  if (usb)
    retiredLoaderUsb_.push_back(std::move(usb));
  bootRomGone_ = false;
  jumpedAt_.reset();
  loaderRestarted_ = false;
  wake_.notify_all();
}

} // namespace imxsim
