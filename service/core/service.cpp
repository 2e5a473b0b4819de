#include "core/service.h"

#include <exception>
#include <string>
#include <unordered_map>
#include <utility>

#include "caf/all.hpp"

#include "vocabulary.h"

namespace otp_service {

namespace {

// Tells the FIDO OTP actor that request N has its answer (see Pending).
using settle_atom = caf::atom_constant<caf::atom("settle")>;

// The FIDO OTP actor's own handle: requests 2 to 10, the lookup that the
// lookup actor hands on to it, and the answers of its backend.
using core_actor = fido_otp_actor::extend<
  caf::replies_to<::get_atom, ::actor_fido_otp>::with<caf::actor>,
  caf::reacts_to<settle_atom, uint64_t>>;

struct Entry {
  caf::response_promise promise;
  std::shared_ptr<detail::Pending> pending;
};

struct core_state {
  std::shared_ptr<KeyBackend> backend;
  std::shared_ptr<RequestLog> log;
  uint64_t last_id = 0;
  std::unordered_map<uint64_t, Entry> waiting;
};

using core_pointer = core_actor::stateful_pointer<core_state>;

// Takes the current request's promise and gives the backend its Reply.
template <class T>
Reply<T> open(core_pointer self, Request request) {
  auto& st = self->state;
  auto id = ++st.last_id;
  auto pending = std::make_shared<detail::Pending>(
    request, caf::actor_cast<caf::actor_addr>(self), id, st.log, &self->home_system());
  st.waiting.emplace(id, Entry{self->make_response_promise(), pending});
  return Reply<T>{std::move(pending)};
}

// Asks the backend; the answer arrives as a settle message.
template <class T, class F>
caf::result<T> ask(core_pointer self, Request request, F call) {
  auto reply = open<T>(self, request);
  try {
    call(*self->state.backend, reply);
  } catch (const std::exception& e) {
    reply(caf::make_error(caf::sec::runtime_error, std::string{"key backend failed: "} + e.what()));
  } catch (...) {
    reply(caf::make_error(caf::sec::runtime_error, std::string{"key backend failed"}));
  }
  return caf::delegated<T>{};
}

void settle(core_pointer self, uint64_t id) {
  auto& waiting = self->state.waiting;
  auto it = waiting.find(id);
  if (it == waiting.end())
    return;
  detail::Pending::Deliver deliver;
  caf::error err;
  if (!it->second.pending->take(deliver, err))
    return; // not from the backend: no answer yet
  auto entry = std::move(it->second);
  waiting.erase(it);
  if (err)
    entry.promise.deliver(std::move(err));
  else if (entry.pending->request() == Request::lookup)
    entry.promise.deliver(caf::actor_cast<caf::actor>(self));
  else
    deliver(entry.promise);
}

core_actor::behavior_type core_behavior(core_pointer self, std::shared_ptr<KeyBackend> backend,
                                        std::shared_ptr<RequestLog> log) {
  self->state.backend = std::move(backend);
  self->state.log = std::move(log);
  return {
    [=](::get_atom, ::actor_fido_otp) -> caf::result<caf::actor> {
      auto reply = open<void>(self, Request::lookup);
      try {
        self->state.backend->lookup(reply);
      } catch (const std::exception& e) {
        reply(caf::make_error(caf::sec::runtime_error,
                              std::string{"key backend failed: "} + e.what()));
      }
      return caf::delegated<caf::actor>{};
    },
    [=](settle_atom, uint64_t id) { settle(self, id); },
    [=](::get_atom, ::info_atom) -> caf::result<std::vector<OtpTokenInfo>> {
      return ask<std::vector<OtpTokenInfo>>(self, Request::get_info, [](auto& key, auto& reply) {
        key.token_info(reply);
      });
    },
    [=](::get_atom, ::otp_atom, const std::string& name, uint64_t time, const std::string& pin,
        bool hw) -> caf::result<std::string> {
      return ask<std::string>(self, Request::get_otp, [&](auto& key, auto& reply) {
        key.otp(name, time, pin, hw, reply);
      });
    },
    [=](::has_atom, ::access_atom) -> caf::result<bool> {
      return ask<bool>(self, Request::has_access,
                       [](auto& key, auto& reply) { key.has_access(reply); });
    },
    [=](::verify_atom, ::access_atom, const std::string& pin) -> caf::result<bool> {
      return ask<bool>(self, Request::verify_pin,
                       [&](auto& key, auto& reply) { key.verify_pin(pin, reply); });
    },
    [=](::change_atom, ::access_atom, const std::string& new_pin,
        const std::string& old_pin) -> caf::result<void> {
      return ask<void>(self, Request::change_pin, [&](auto& key, auto& reply) {
        key.change_pin(new_pin, old_pin, reply);
      });
    },
    [=](::check_atom, ::pin_atom, ::expire_atom) -> caf::result<bool> {
      return ask<bool>(self, Request::check_expire,
                       [](auto& key, auto& reply) { key.pin_expired(reply); });
    },
    [=](::check_atom, ::hwaccess_atom) -> caf::result<bool> {
      return ask<bool>(self, Request::check_hwaccess,
                       [](auto& key, auto& reply) { key.hardware_access(reply); });
    },
    [=](::check_atom, ::pin_atom, ::policy_atom) -> caf::result<bool> {
      return ask<bool>(self, Request::check_policy,
                       [](auto& key, auto& reply) { key.policy_enabled(reply); });
    },
    [=](::check_atom, ::compliant_atom, ::policy_atom,
        const std::string& new_pin) -> caf::result<PinPolicyResult> {
      return ask<PinPolicyResult>(self, Request::check_compliant, [&](auto& key, auto& reply) {
        key.check_compliant(new_pin, reply);
      });
    },
  };
}

// The lookup actor hands request 1 on to the FIDO OTP actor, so that the
// backend is only ever called from one actor.
caf::behavior lookup_behavior(caf::event_based_actor* self, core_actor core) {
  return {
    [=](::get_atom, ::actor_fido_otp) -> caf::result<caf::actor> {
      return self->delegate(core, ::get_atom{}, ::actor_fido_otp{});
    },
  };
}

} // namespace

namespace detail {

Pending::Pending(Request request, caf::actor_addr owner, uint64_t id,
                 std::shared_ptr<RequestLog> log, const caf::actor_system* sys)
  : request_(request), owner_(std::move(owner)), id_(id), log_(std::move(log)), sys_(sys) {
}

void Pending::log_once(const std::string& line) {
  if (!logged_.exchange(true))
    log_->write(line);
}

std::string Pending::render(const caf::error& err) const {
  return error_text(*sys_, err);
}

void Pending::settle(Deliver deliver) {
  {
    std::lock_guard<std::mutex> guard{mtx_};
    deliver_ = std::move(deliver);
    settled_ = true;
  }
  notify_owner();
}

void Pending::settle(caf::error err) {
  {
    std::lock_guard<std::mutex> guard{mtx_};
    error_ = std::move(err);
    settled_ = true;
  }
  notify_owner();
}

bool Pending::take(Deliver& deliver, caf::error& err) {
  std::lock_guard<std::mutex> guard{mtx_};
  if (!settled_)
    return false;
  deliver = std::move(deliver_);
  err = std::move(error_);
  return true;
}

void Pending::notify_owner() {
  // An owner that is gone took the promise with it: nobody waits any more.
  if (auto owner = caf::actor_cast<caf::actor>(owner_))
    caf::anon_send(owner, settle_atom::value, id_);
}

std::string describe_value(bool value) {
  return value ? "true" : "false";
}

std::string describe_value(const std::vector<OtpTokenInfo>& value) {
  return std::to_string(value.size()) + " tokens";
}

std::string describe_value(const std::string& code) {
  return std::to_string(code.size()) + "-digit code";
}

std::string describe_value(const PinPolicyResult& value) {
  return value.is_compliant ? "compliant" : "not compliant: " + value.reason;
}

caf::error as_failure(caf::error err) {
  if (err)
    return err;
  return caf::make_error(caf::sec::runtime_error, std::string{"empty error from the key backend"});
}

std::string describe_failure(const Pending& pending, const caf::error& err) {
  return std::string{request_name(pending.request())} + ": error " + caf::to_string(err.category())
         + " " + std::to_string(err.code()) + " (" + pending.render(err) + ")";
}

} // namespace detail

Service spawn_service(caf::actor_system& sys, std::shared_ptr<KeyBackend> backend,
                      std::shared_ptr<RequestLog> log) {
  auto core = sys.spawn(core_behavior, std::move(backend), std::move(log));
  auto lookup = sys.spawn(lookup_behavior, core);
  return {lookup, caf::actor_cast<fido_otp_actor>(core)};
}

void stop_service(const Service& service) {
  caf::anon_send_exit(service.lookup, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(service.fido, caf::exit_reason::user_shutdown);
}

} // namespace otp_service
