#include "sim/sim_service.h"

#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "caf/all.hpp"

#include "errors.h"

namespace sim {

namespace {

caf::error to_error(uint8_t code) {
  return make_error(static_cast<fido_error>(code));
}

template <class T>
caf::expected<T> to_expected(Outcome<T> outcome) {
  if (!outcome.ok())
    return to_error(outcome.code);
  return std::move(*outcome.value);
}

caf::expected<void> to_expected(Outcome<void> outcome) {
  if (!outcome.ok())
    return to_error(outcome.code);
  return {};
}

std::string describe(Request request, const Outcome<std::vector<OtpTokenInfo>>& outcome) {
  if (!outcome.ok())
    return sim::describe(request, Outcome<void>::failure(outcome.code));
  return std::string(request_name(request)) + ": ok (" + std::to_string(outcome.value->size())
         + " tokens)";
}

std::string describe(Request request, const Outcome<PinPolicyResult>& outcome) {
  return sim::describe(request, Compliance{outcome.value->is_compliant, outcome.value->reason});
}

} // namespace

SimBackend::SimBackend(caf::actor_system& sys, std::shared_ptr<SharedKey> key)
  : sys_(sys), key_(std::move(key)) {
}

// An injected fault answers first (an error, or no answer at all);
// otherwise `answer(key)` does, after the key's touch delay for the requests
// that need a touch.
template <class T, class Answer, class F>
void SimBackend::serve(Request request, Reply<T> reply, F answer) {
  std::optional<Fault> fault;
  std::optional<Answer> outcome;
  std::chrono::milliseconds delay{0};
  key_->with([&](SimKey& key) {
    fault = key.next_fault(request);
    if (fault) {
      reply.log(describe(request, *fault));
      return;
    }
    outcome = answer(key);
    reply.log(describe(request, *outcome));
    if (SimKey::needs_touch(request))
      delay = key.touch_delay();
  });
  if (fault) {
    if (!fault->hang)
      reply(to_error(fault->fido_error_code));
    return;
  }
  if (delay.count() == 0) {
    reply(to_expected(std::move(*outcome)));
    return;
  }
  // Waits for the "touch" off the actor system's workers, then answers.
  // (The delay is a spawn argument: this actor library's sanitizer builds trip
  // over function actors spawned without one.)
  sys_.spawn<caf::detached>(
    [reply, result = to_expected(std::move(*outcome))](caf::event_based_actor*,
                                                      std::chrono::milliseconds wait) mutable {
      std::this_thread::sleep_for(wait);
      reply(std::move(result));
    },
    delay);
}

void SimBackend::lookup(Reply<void> reply) {
  auto fault = key_->with([](SimKey& key) { return key.next_fault(Request::lookup); });
  if (!fault) {
    reply({});
    return;
  }
  reply.log(describe(Request::lookup, *fault));
  if (!fault->hang)
    reply(to_error(fault->fido_error_code));
}

void SimBackend::token_info(Reply<std::vector<OtpTokenInfo>> reply) {
  using Infos = Outcome<std::vector<OtpTokenInfo>>;
  serve<std::vector<OtpTokenInfo>, Infos>(Request::get_info, reply, [](SimKey& key) {
    auto outcome = key.token_info();
    if (!outcome.ok())
      return Infos::failure(outcome.code);
    std::vector<OtpTokenInfo> infos;
    infos.reserve(outcome.value->size());
    for (auto& token : *outcome.value)
      infos.push_back(OtpTokenInfo{token.name, token.period});
    return Infos::success(std::move(infos));
  });
}

void SimBackend::otp(const std::string& name, uint64_t time, const std::string& pin,
                     bool hardware_access, Reply<std::string> reply) {
  serve<std::string, Outcome<std::string>>(Request::get_otp, reply, [&](SimKey& key) {
    return key.otp(name, time, pin, hardware_access);
  });
}

void SimBackend::has_access(Reply<bool> reply) {
  serve<bool, Outcome<bool>>(Request::has_access, reply, [](SimKey& key) {
    return Outcome<bool>::success(key.has_access());
  });
}

void SimBackend::verify_pin(const std::string& pin, Reply<bool> reply) {
  serve<bool, Outcome<bool>>(Request::verify_pin, reply,
                             [&](SimKey& key) { return key.verify_pin(pin); });
}

void SimBackend::change_pin(const std::string& new_pin, const std::string& old_pin,
                            Reply<void> reply) {
  serve<void, Outcome<void>>(Request::change_pin, reply,
                             [&](SimKey& key) { return key.change_pin(new_pin, old_pin); });
}

void SimBackend::pin_expired(Reply<bool> reply) {
  serve<bool, Outcome<bool>>(Request::check_expire, reply, [](SimKey& key) {
    return Outcome<bool>::success(key.pin_expired());
  });
}

void SimBackend::hardware_access(Reply<bool> reply) {
  serve<bool, Outcome<bool>>(Request::check_hwaccess, reply, [](SimKey& key) {
    return Outcome<bool>::success(key.hw_access_support());
  });
}

void SimBackend::policy_enabled(Reply<bool> reply) {
  serve<bool, Outcome<bool>>(Request::check_policy, reply, [](SimKey& key) {
    return Outcome<bool>::success(key.policy_enabled());
  });
}

void SimBackend::check_compliant(const std::string& new_pin, Reply<PinPolicyResult> reply) {
  using Verdict = Outcome<PinPolicyResult>;
  serve<PinPolicyResult, Verdict>(Request::check_compliant, reply, [&](SimKey& key) {
    auto verdict = key.check_compliant(new_pin);
    return Verdict::success({verdict.is_compliant, verdict.reason});
  });
}

Service spawn_service(caf::actor_system& sys, KeyConfig config,
                      std::shared_ptr<otp_service::RequestLog> log,
                      otp_service::CoreOptions options) {
  auto key = std::make_shared<SharedKey>(std::move(config));
  auto core = otp_service::spawn_service(sys, std::make_shared<SimBackend>(sys, key),
                                         std::move(log), std::move(options));
  return {core.lookup, core.fido, key};
}

Service spawn_service(caf::actor_system& sys, KeyConfig config, std::ostream& out) {
  return spawn_service(sys, std::move(config), std::make_shared<otp_service::RequestLog>(out));
}

} // namespace sim
