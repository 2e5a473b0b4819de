#include "core/service.h"

#include <chrono>
#include <deque>
#include <exception>
#include <string>
#include <unordered_map>
#include <utility>

#include "caf/all.hpp"

#include "core/request_guards.h"
#include "errors.h"
#include "vocabulary.h"

namespace otp_service {

namespace {

// Tells the FIDO OTP actor that request N has its answer (see Pending).
using settle_atom = caf::atom_constant<caf::atom("settle")>;
// Tells it that the held answer to request N may go now.
using release_atom = caf::atom_constant<caf::atom("release")>;

// The FIDO OTP actor's own handle: requests 2 to 10, the lookup that the
// lookup actor hands on to it, and the answers of its backend.
using core_actor = fido_otp_actor::extend<
  caf::replies_to<::get_atom, ::actor_fido_otp>::with<caf::actor>,
  caf::reacts_to<settle_atom, uint64_t>, caf::reacts_to<release_atom, uint64_t>>;

struct Entry {
  caf::response_promise promise;
  std::shared_ptr<detail::Pending> pending;
  bool pin_lane = false; // a PIN-carrying request that went to the backend
};

// An answer taken from the backend, delivered at once or after a wait.
struct Answer {
  Entry entry;
  detail::Pending::Deliver deliver;
  caf::error err;
};

struct core_state {
  std::shared_ptr<KeyBackend> backend;
  std::shared_ptr<RequestLog> log;
  CoreOptions options;
  uint64_t last_id = 0;
  std::unordered_map<uint64_t, Entry> waiting;
  // Wrong PINs: while backing off, PIN-carrying requests go to the backend
  // one at a time, the others wait here; answers wait in `held`.
  PinBackoff backoff;
  int pins_in_flight = 0;
  std::deque<std::function<void()>> pin_queue;
  std::unordered_map<uint64_t, Answer> held;
  std::shared_ptr<TokenPeriods> periods = std::make_shared<TokenPeriods>();
};

using core_pointer = core_actor::stateful_pointer<core_state>;

// ", from uid 1000" for a request that came over a connection.
std::string caller_of(core_pointer self) {
  auto& sender = self->current_sender();
  if (!sender || sender->node() == self->node() || !self->state.options.peers)
    return {};
  auto account = self->state.options.peers->of(sender->node());
  return ", from " + account.value_or("an unknown account");
}

// Takes the current request's promise and gives the backend its Reply.
template <class T>
Reply<T> open(core_pointer self, Request request) {
  auto& st = self->state;
  auto id = ++st.last_id;
  auto pending =
    std::make_shared<detail::Pending>(request, caf::actor_cast<caf::actor_addr>(self), id, st.log,
                                      &self->home_system(), caller_of(self));
  if (request == Request::get_info)
    pending->on_tokens = [periods = st.periods](auto& tokens) { periods->update(tokens); };
  st.waiting.emplace(id, Entry{self->make_response_promise(), pending});
  return Reply<T>{std::move(pending)};
}

template <class T, class F>
void call_backend(KeyBackend& backend, Reply<T>& reply, F& call) {
  try {
    call(backend, reply);
  } catch (const std::exception& e) {
    reply(caf::make_error(caf::sec::runtime_error, std::string{"key backend failed: "} + e.what()));
  } catch (...) {
    reply(caf::make_error(caf::sec::runtime_error, std::string{"key backend failed"}));
  }
}

// Asks the backend; the answer arrives as a settle message.
template <class T, class F>
caf::result<T> ask(core_pointer self, Request request, F call) {
  auto reply = open<T>(self, request);
  call_backend(*self->state.backend, reply, call);
  return caf::delegated<T>{};
}

// A request that carries a PIN. While wrong PINs are being backed off, it
// waits for the one before it to be answered.
template <class T, class F>
caf::result<T> ask_with_pin(core_pointer self, Request request, F call) {
  auto& st = self->state;
  auto reply = open<T>(self, request);
  st.waiting.at(st.last_id).pin_lane = true;
  auto run = [self, reply, call]() mutable { call_backend(*self->state.backend, reply, call); };
  if (st.backoff.active() && st.pins_in_flight > 0) {
    st.pin_queue.push_back(std::move(run));
  } else {
    ++st.pins_in_flight;
    run();
  }
  return caf::delegated<T>{};
}

void deliver(core_pointer self, Answer& answer) {
  auto& entry = answer.entry;
  if (answer.err)
    entry.promise.deliver(std::move(answer.err));
  else if (entry.pending->request() == Request::lookup)
    entry.promise.deliver(caf::actor_cast<caf::actor>(self));
  else
    answer.deliver(entry.promise);
}

// One PIN-carrying request is answered: the next in line may go.
void next_pin(core_pointer self) {
  auto& st = self->state;
  --st.pins_in_flight;
  while (!st.pin_queue.empty() && (!st.backoff.active() || st.pins_in_flight == 0)) {
    auto run = std::move(st.pin_queue.front());
    st.pin_queue.pop_front();
    ++st.pins_in_flight;
    run();
  }
}

void settle(core_pointer self, uint64_t id) {
  auto& st = self->state;
  auto it = st.waiting.find(id);
  if (it == st.waiting.end())
    return;
  Answer answer;
  if (!it->second.pending->take(answer.deliver, answer.err))
    return; // not from the backend: no answer yet
  answer.entry = std::move(it->second);
  st.waiting.erase(it);
  if (!answer.entry.pin_lane) {
    deliver(self, answer);
    return;
  }
  const auto wait = st.backoff.delay();
  const auto wrong_before = st.backoff.wrong_in_a_row();
  const auto pin = answer.entry.pending->pin();
  if (pin == detail::Pending::Pin::wrong)
    st.backoff.wrong();
  else if (pin == detail::Pending::Pin::right)
    st.backoff.right();
  if (wait.count() > 0) {
    st.log->write(std::string{request_name(answer.entry.pending->request())} + ": answer held "
                  + std::to_string(wait.count()) + " ms after " + std::to_string(wrong_before)
                  + " wrong PINs in a row");
    st.held.emplace(id, std::move(answer));
    self->delayed_send(self, wait, release_atom::value, id);
    return;
  }
  deliver(self, answer);
  next_pin(self);
}

void release(core_pointer self, uint64_t id) {
  auto it = self->state.held.find(id);
  if (it == self->state.held.end())
    return;
  auto answer = std::move(it->second);
  self->state.held.erase(it);
  deliver(self, answer);
  next_pin(self);
}

uint64_t now_seconds(const CoreOptions& options) {
  if (options.clock)
    return options.clock();
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

core_actor::behavior_type core_behavior(core_pointer self, std::shared_ptr<KeyBackend> backend,
                                        std::shared_ptr<RequestLog> log, CoreOptions options) {
  self->state.backend = std::move(backend);
  self->state.log = std::move(log);
  self->state.backoff = PinBackoff{options.first_pin_wait, options.longest_pin_wait};
  self->state.options = std::move(options);
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
    [=](release_atom, uint64_t id) { release(self, id); },
    [=](::get_atom, ::info_atom) -> caf::result<std::vector<OtpTokenInfo>> {
      return ask<std::vector<OtpTokenInfo>>(self, Request::get_info, [](auto& key, auto& reply) {
        key.token_info(reply);
      });
    },
    [=](::get_atom, ::otp_atom, const std::string& name, uint64_t time, const std::string& pin,
        bool hw) -> caf::result<std::string> {
      auto& st = self->state;
      if (auto why = code_time_refusal(time, now_seconds(st.options), st.periods->of(name))) {
        auto reply = open<std::string>(self, Request::get_otp);
        reply(caf::error{static_cast<uint8_t>(fido_error::operation_denied),
                         error_category::fido, caf::make_message(*why)});
        return caf::delegated<std::string>{};
      }
      return ask_with_pin<std::string>(self, Request::get_otp, [=](auto& key, auto& reply) {
        key.otp(name, time, pin, hw, reply);
      });
    },
    [=](::has_atom, ::access_atom) -> caf::result<bool> {
      return ask<bool>(self, Request::has_access,
                       [](auto& key, auto& reply) { key.has_access(reply); });
    },
    [=](::verify_atom, ::access_atom, const std::string& pin) -> caf::result<bool> {
      return ask_with_pin<bool>(self, Request::verify_pin,
                                [=](auto& key, auto& reply) { key.verify_pin(pin, reply); });
    },
    [=](::change_atom, ::access_atom, const std::string& new_pin,
        const std::string& old_pin) -> caf::result<void> {
      return ask_with_pin<void>(self, Request::change_pin, [=](auto& key, auto& reply) {
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
                 std::shared_ptr<RequestLog> log, const caf::actor_system* sys, std::string from)
  : request_(request), owner_(std::move(owner)), id_(id), log_(std::move(log)), sys_(sys),
    from_(std::move(from)) {
}

void Pending::log_once(const std::string& line) {
  if (!logged_.exchange(true))
    log_->write(line + from_);
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

Pending::Pin pin_of(const caf::error& err) {
  return err.category() == error_category::fido
             && err.code() == static_cast<uint8_t>(fido_error::pin_incorrect)
           ? Pending::Pin::wrong
           : Pending::Pin::unknown;
}

std::string describe_failure(const Pending& pending, const caf::error& err) {
  return std::string{request_name(pending.request())} + ": error " + caf::to_string(err.category())
         + " " + std::to_string(err.code()) + " (" + pending.render(err) + ")";
}

} // namespace detail

Service spawn_service(caf::actor_system& sys, std::shared_ptr<KeyBackend> backend,
                      std::shared_ptr<RequestLog> log, CoreOptions options) {
  auto core = sys.spawn(core_behavior, std::move(backend), std::move(log), std::move(options));
  auto lookup = sys.spawn(lookup_behavior, core);
  return {lookup, caf::actor_cast<fido_otp_actor>(core)};
}

void stop_service(const Service& service) {
  caf::anon_send_exit(service.lookup, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(service.fido, caf::exit_reason::user_shutdown);
}

} // namespace otp_service
