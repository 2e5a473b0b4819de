// The simulated key as the FIDO OTP service: a service actor that hands out
// the FIDO OTP actor, which answers every key request from a SimKey.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>

#include "caf/actor.hpp"
#include "caf/fwd.hpp"

#include "fido_otp_actor.h"
#include "sim/sim_key.h"

namespace sim {

// The key state, shared between the FIDO OTP actor and whoever wants to
// look at it or inject faults while the service runs.
class SharedKey {
public:
  explicit SharedKey(KeyConfig config) : key_(std::move(config)) {}

  template <class F>
  auto with(F f) {
    std::lock_guard<std::mutex> guard{mtx_};
    return f(key_);
  }

private:
  std::mutex mtx_;
  SimKey key_;
};

struct Service {
  caf::actor service;  // answers (get_atom, actor_fido_otp)
  fido_otp_actor fido; // answers the key requests
  std::shared_ptr<SharedKey> key;
};

// Spawns the service's actors in `sys`. Each request writes one line to
// `out` (request kind and outcome, never a PIN, secret or code).
Service spawn_service(caf::actor_system& sys, KeyConfig config, std::ostream& out);

} // namespace sim
