// The simulated key as a backend of the service core, and the FIDO OTP
// service over it.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "caf/actor.hpp"
#include "caf/fwd.hpp"

#include "core/key_backend.h"
#include "core/request_log.h"
#include "core/service.h"
#include "fido_otp_actor.h"
#include "sim/sim_key.h"

namespace sim {

// The key state, shared between the backend and whoever wants to look at it
// or inject faults while the service runs.
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

// Answers every request from a SimKey, faults and all: a pending fault
// answers first (an injected error, or a hang that never answers); the
// requests that need a touch answer after the key's touch delay, from a
// thread of their own. Each request's log line is written when the key
// decides, before any delay.
class SimBackend : public otp_service::KeyBackend {
public:
  template <class T>
  using Reply = otp_service::Reply<T>;

  SimBackend(caf::actor_system& sys, std::shared_ptr<SharedKey> key);

  void lookup(Reply<void> reply) override;
  void token_info(Reply<std::vector<OtpTokenInfo>> reply) override;
  void otp(const std::string& name, uint64_t time, const std::string& pin, bool hardware_access,
           Reply<std::string> reply) override;
  void has_access(Reply<bool> reply) override;
  void verify_pin(const std::string& pin, Reply<bool> reply) override;
  void change_pin(const std::string& new_pin, const std::string& old_pin,
                  Reply<void> reply) override;
  void pin_expired(Reply<bool> reply) override;
  void hardware_access(Reply<bool> reply) override;
  void policy_enabled(Reply<bool> reply) override;
  void check_compliant(const std::string& new_pin, Reply<PinPolicyResult> reply) override;

private:
  template <class T, class Answer, class F>
  void serve(Request request, Reply<T> reply, F answer);

  caf::actor_system& sys_;
  std::shared_ptr<SharedKey> key_;
};

struct Service {
  caf::actor service;  // answers (get_atom, actor_fido_otp)
  fido_otp_actor fido; // answers the key requests
  std::shared_ptr<SharedKey> key;

  otp_service::Service core() const { return {service, fido}; }
};

// Spawns the service's actors in `sys`. Each request writes one line to the
// log (request kind and outcome, never a PIN, secret or code).
Service spawn_service(caf::actor_system& sys, KeyConfig config,
                      std::shared_ptr<otp_service::RequestLog> log,
                      otp_service::CoreOptions options = {});
Service spawn_service(caf::actor_system& sys, KeyConfig config, std::ostream& out);

} // namespace sim
