#include "modulesim/Simulation.h"

namespace modulesim {

Simulation::~Simulation() {
  discovery_.reset();
  tcp_.clear();
  serial_.clear();
  // Bus members route through their router: detach nothing, but let the
  // members go before the routers they point to.
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
    it->reset();
}

SimModule &Simulation::add(ModuleConfig config) {
  modules_.push_back(std::make_unique<SimModule>(std::move(config)));
  return *modules_.back();
}

std::string Simulation::nextLoopbackAddress() { return "127.0.0." + std::to_string(nextHost_++); }

TcpTransport *Simulation::serveTcp(SimModule &module, TcpOptions options) {
  auto t = std::make_unique<TcpTransport>(module, std::move(options));
  if (!t->ok()) {
    error_ = t->error();
    return nullptr;
  }
  if (discovery_)
    discovery_->add(*t);
  tcp_.push_back(std::move(t));
  return tcp_.back().get();
}

SerialTransport *Simulation::serveSerial(SimModule &module, std::string linkPath) {
  auto s = std::make_unique<SerialTransport>(module, std::move(linkPath));
  if (!s->ok()) {
    error_ = s->error();
    return nullptr;
  }
  serial_.push_back(std::move(s));
  return serial_.back().get();
}

void Simulation::network(SimModule &router, SimModule &member) { router.attachToBus(member); }

bool Simulation::startDiscovery() {
  if (discovery_)
    return true;
  auto d = std::make_unique<DiscoveryResponder>();
  for (auto &t : tcp_)
    d->add(*t);
  if (!d->start()) {
    error_ = d->error();
    return false;
  }
  discovery_ = std::move(d);
  return true;
}

} // namespace modulesim
