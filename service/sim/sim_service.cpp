#include "sim/sim_service.h"

#include <chrono>
#include <thread>
#include <vector>

#include "caf/all.hpp"

namespace sim {

namespace {

// The one writer of the request log: both actors write through it.
class RequestLog {
public:
  explicit RequestLog(std::ostream& out) : out_(out) {}
  void write(const std::string& line) {
    std::lock_guard<std::mutex> guard{mtx_};
    out_ << line << std::endl;
  }

private:
  std::mutex mtx_;
  std::ostream& out_;
};

struct fido_state {
  std::shared_ptr<SharedKey> key;
  std::shared_ptr<RequestLog> log;
  // Requests that are never answered keep their promise here.
  std::vector<caf::response_promise> held;
};

using fido_actor = fido_otp_actor::stateful_pointer<fido_state>;

void trace(fido_state& st, const std::string& line) {
  st.log->write(line);
}

caf::error to_error(uint8_t code) {
  return make_error(static_cast<fido_error>(code));
}

// Answers a request from an outcome: the value, or the FIDO error.
template <class T>
caf::result<T> from_outcome(Outcome<T> outcome) {
  if (!outcome.ok())
    return to_error(outcome.code);
  return std::move(*outcome.value);
}

caf::result<void> from_outcome(Outcome<void> outcome) {
  if (!outcome.ok())
    return to_error(outcome.code);
  return caf::unit;
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

template <class T>
void deliver(caf::response_promise& promise, Outcome<T> outcome) {
  if (!outcome.ok())
    promise.deliver(to_error(outcome.code));
  else
    promise.deliver(std::move(*outcome.value));
}

void deliver(caf::response_promise& promise, Outcome<void> outcome) {
  if (!outcome.ok())
    promise.deliver(to_error(outcome.code));
  else
    promise.deliver(caf::unit);
}

// Handles one request: an injected fault answers first (an error, or no
// answer at all); otherwise `answer(key)` does, after the key's touch delay
// for the requests that need a touch.
template <class T, class F>
caf::result<T> serve(fido_actor self, Request request, F answer) {
  auto& st = self->state;
  std::optional<Fault> fault;
  std::optional<Outcome<T>> outcome;
  std::chrono::milliseconds delay{0};
  st.key->with([&](SimKey& key) {
    fault = key.next_fault(request);
    if (fault) {
      trace(st, describe(request, *fault));
      return;
    }
    outcome = answer(key);
    trace(st, describe(request, *outcome));
    if (SimKey::needs_touch(request))
      delay = key.touch_delay();
  });
  if (fault) {
    if (fault->hang) {
      st.held.push_back(self->make_response_promise());
      return caf::delegated<T>{};
    }
    return to_error(fault->fido_error_code);
  }
  if (delay.count() == 0)
    return from_outcome(std::move(*outcome));
  // Waits for the "touch" off the actor's thread, then answers.
  auto promise = self->make_response_promise();
  // (The delay is a spawn argument: this actor library's sanitizer builds trip
  // over function actors spawned without one.)
  self->template spawn<caf::detached>(
    [promise, result = std::move(*outcome)](caf::event_based_actor*,
                                            std::chrono::milliseconds wait) mutable {
      std::this_thread::sleep_for(wait);
      deliver(promise, std::move(result));
    },
    delay);
  return promise;
}

fido_otp_actor::behavior_type fido_behavior(fido_actor self, std::shared_ptr<SharedKey> key,
                                            std::shared_ptr<RequestLog> log) {
  self->state.key = std::move(key);
  self->state.log = std::move(log);
  return {
    [=](::get_atom, ::info_atom) -> caf::result<std::vector<OtpTokenInfo>> {
      return serve<std::vector<OtpTokenInfo>>(self, Request::get_info, [&](SimKey& key) {
        auto outcome = key.token_info();
        if (!outcome.ok())
          return Outcome<std::vector<OtpTokenInfo>>::failure(outcome.code);
        std::vector<OtpTokenInfo> infos;
        infos.reserve(outcome.value->size());
        for (auto& token : *outcome.value)
          infos.push_back(OtpTokenInfo{token.name, token.period});
        return Outcome<std::vector<OtpTokenInfo>>::success(std::move(infos));
      });
    },
    [=](::get_atom, ::otp_atom, const std::string& name, uint64_t time,
             const std::string& pin, bool hw) -> caf::result<std::string> {
      return serve<std::string>(self, Request::get_otp, [&](SimKey& key) {
        return key.otp(name, time, pin, hw);
      });
    },
    [=](::has_atom, ::access_atom) -> caf::result<bool> {
      return serve<bool>(self, Request::has_access, [&](SimKey& key) {
        return Outcome<bool>::success(key.has_access());
      });
    },
    [=](::verify_atom, ::access_atom, const std::string& pin) -> caf::result<bool> {
      return serve<bool>(self, Request::verify_pin, [&](SimKey& key) {
        return key.verify_pin(pin);
      });
    },
    [=](::change_atom, ::access_atom, const std::string& new_pin,
             const std::string& old_pin) -> caf::result<void> {
      return serve<void>(self, Request::change_pin, [&](SimKey& key) {
        return key.change_pin(new_pin, old_pin);
      });
    },
    [=](::check_atom, ::pin_atom, ::expire_atom) -> caf::result<bool> {
      return serve<bool>(self, Request::check_expire, [&](SimKey& key) {
        return Outcome<bool>::success(key.pin_expired());
      });
    },
    [=](::check_atom, ::hwaccess_atom) -> caf::result<bool> {
      return serve<bool>(self, Request::check_hwaccess, [&](SimKey& key) {
        return Outcome<bool>::success(key.hw_access_support());
      });
    },
    [=](::check_atom, ::pin_atom, ::policy_atom) -> caf::result<bool> {
      return serve<bool>(self, Request::check_policy, [&](SimKey& key) {
        return Outcome<bool>::success(key.policy_enabled());
      });
    },
    [=](::check_atom, ::compliant_atom, ::policy_atom,
             const std::string& new_pin) -> caf::result<PinPolicyResult> {
      return serve<PinPolicyResult>(self, Request::check_compliant, [&](SimKey& key) {
        auto verdict = key.check_compliant(new_pin);
        return Outcome<PinPolicyResult>::success({verdict.is_compliant, verdict.reason});
      });
    },
  };
}

struct service_state {
  std::vector<caf::response_promise> held;
};

caf::behavior service_behavior(caf::stateful_actor<service_state>* self,
                               std::shared_ptr<SharedKey> key, caf::actor fido,
                               std::shared_ptr<RequestLog> log) {
  return {
    [=](::get_atom, ::actor_fido_otp) -> caf::result<caf::actor> {
      auto fault = key->with([](SimKey& k) { return k.next_fault(Request::lookup); });
      if (fault) {
        log->write(describe(Request::lookup, *fault));
        if (fault->hang) {
          self->state.held.push_back(self->make_response_promise());
          return caf::delegated<caf::actor>{};
        }
        return to_error(fault->fido_error_code);
      }
      log->write(describe(Request::lookup) + ": ok");
      return fido;
    },
  };
}

} // namespace

Service spawn_service(caf::actor_system& sys, KeyConfig config, std::ostream& out) {
  auto key = std::make_shared<SharedKey>(std::move(config));
  auto log = std::make_shared<RequestLog>(out);
  auto fido = sys.spawn(fido_behavior, key, log);
  auto service = sys.spawn(service_behavior, key, caf::actor_cast<caf::actor>(fido), log);
  return {service, fido, key};
}

} // namespace sim
