// What the service core asks of a key: one method per request.
//
// The core's actors call a backend's methods one at a time, from one actor
// (never two calls at once), in the order the requests arrive. A method
// must return at once: it must not wait for a card, a touch or a lock that
// another thread holds for long, since it runs on a worker of the actor
// system. It answers through the Reply it is given, then or later, from any
// thread: on the calling thread before it returns, or from a thread of the
// backend's own (a card thread that answers in order, a timer), seconds
// later if need be.
//
// A Reply answers its request at most once: the first call counts and
// later ones are ignored. A request whose Reply is dropped unanswered is
// never answered: its client waits (the simulator's injected hangs).
// Answers are a value or a caf::error. Errors keep their category and
// context as given (a fido_error code for the user, or a pcsc_error with a
// context that says what went wrong and what to do), and travel so to the
// client. A context must hold no PIN, secret or code: it is written to the
// request log.
//
// The log gets one line per request: the core writes "<request>: <outcome>"
// when the answer is given ("get_info: ok (3 tokens)", "has_access: ok
// (true)", "get_otp: ok (6-digit code)", "change_pin: ok", "get_info: error
// fido_error 17 (Failed to list OTP from the device.)"). A backend that
// wants its own words calls Reply::log first (once; the answer then writes
// nothing more), also for a request it will never answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "caf/actor_addr.hpp"
#include "caf/error.hpp"
#include "caf/expected.hpp"
#include "caf/fwd.hpp"
#include "caf/response_promise.hpp"

#include "core/requests.h"
#include "records.h"

namespace otp_service {

class RequestLog;

namespace detail {

// One request in flight, shared between the actor that holds its promise
// and the Reply copies that answer it.
class Pending {
public:
  using Deliver = std::function<void(caf::response_promise&)>;

  // What an answer says of the PIN it was given, for the requests that carry one.
  enum class Pin { unknown, right, wrong };

  // `from` ends each log line (", from uid 1000"; empty for a local caller).
  Pending(Request request, caf::actor_addr owner, uint64_t id, std::shared_ptr<RequestLog> log,
          const caf::actor_system* sys, std::string from = {});

  Request request() const { return request_; }
  // True for the first caller only.
  bool claim() { return !claimed_.exchange(true); }
  bool claimed() const { return claimed_; }
  // Writes the request's log line unless one was written already.
  void log_once(const std::string& line);
  bool logged() const { return logged_; }
  // The text form of an error, as the actor system renders it.
  std::string render(const caf::error& err) const;
  // Hands the answer to the owning actor, which delivers it on its own
  // thread: a message carries only the request's number.
  void settle(Deliver deliver);
  void settle(caf::error err);
  // On the owner's thread: the answer given, if any (an error when failed).
  bool take(Deliver& deliver, caf::error& err);

  void note_pin(Pin pin) { pin_ = pin; }
  Pin pin() const { return pin_; }
  // Called with a token list before it is delivered (the core learns the
  // tokens' periods from it).
  std::function<void(const std::vector<OtpTokenInfo>&)> on_tokens;

private:
  void notify_owner();

  const Request request_;
  const caf::actor_addr owner_;
  const uint64_t id_;
  const std::shared_ptr<RequestLog> log_;
  const caf::actor_system* sys_;
  const std::string from_;
  std::atomic<Pin> pin_{Pin::unknown};
  std::atomic<bool> claimed_{false};
  std::atomic<bool> logged_{false};
  std::mutex mtx_;
  bool settled_ = false;
  Deliver deliver_;
  caf::error error_;
};

// "ok (3 tokens)", "ok (true)", ... for the log.
std::string describe_value(bool value);
std::string describe_value(const std::vector<OtpTokenInfo>& value);
std::string describe_value(const std::string& code);
std::string describe_value(const PinPolicyResult& value);
std::string describe_failure(const Pending& pending, const caf::error& err);
// An error whose code is 0 (the actor library's "no error") still fails.
caf::error as_failure(caf::error err);
// fido_error 4 ("wrong PIN") is a wrong PIN; other errors say nothing of it.
Pending::Pin pin_of(const caf::error& err);

} // namespace detail

// The answer to one request. Cheap to copy; every copy answers the same
// request. Safe to call from any thread.
template <class T>
class Reply {
public:
  explicit Reply(std::shared_ptr<detail::Pending> pending) : pending_(std::move(pending)) {}

  // Answers with a value or an error: `reply(true)`, `reply(make_error(
  // fido_error::no_token))`; Reply<void> answers success with `reply({})`.
  void operator()(caf::expected<T> answer) const {
    if (!pending_->claim())
      return;
    if (!answer) {
      auto err = detail::as_failure(std::move(answer.error()));
      pending_->note_pin(detail::pin_of(err));
      pending_->log_once(detail::describe_failure(*pending_, err));
      pending_->settle(std::move(err));
      return;
    }
    if constexpr (std::is_void_v<T>) {
      pending_->note_pin(detail::Pending::Pin::right);
      pending_->log_once(std::string{request_name(pending_->request())} + ": ok");
      pending_->settle([](caf::response_promise& promise) { promise.deliver(caf::unit); });
    } else {
      if constexpr (std::is_same_v<T, bool>)
        pending_->note_pin(*answer ? detail::Pending::Pin::right : detail::Pending::Pin::wrong);
      else
        pending_->note_pin(detail::Pending::Pin::right);
      if constexpr (std::is_same_v<T, std::vector<OtpTokenInfo>>)
        if (pending_->on_tokens)
          pending_->on_tokens(*answer);
      pending_->log_once(std::string{request_name(pending_->request())} + ": ok ("
                         + detail::describe_value(*answer) + ")");
      pending_->settle([value = std::move(*answer)](caf::response_promise& promise) mutable {
        promise.deliver(std::move(value));
      });
    }
  }

  // Writes the request's log line now, in the backend's words (the whole
  // line, e.g. "get_otp: injected hang, no answer"). Only the first line of
  // a request is written.
  void log(const std::string& line) const { pending_->log_once(line); }

  // True once the request has been answered.
  bool answered() const { return pending_->claimed(); }

private:
  std::shared_ptr<detail::Pending> pending_;
};

// The key behind the service. Each method answers one request of the
// service's interface (the names of the log in brackets).
class KeyBackend {
public:
  virtual ~KeyBackend() = default;

  // [lookup] (get_atom, actor_fido_otp): success hands out the FIDO OTP
  // actor; an error refuses the lookup.
  virtual void lookup(Reply<void> reply) { reply({}); }
  // [get_info] the key's OTP tokens, in the key's order.
  virtual void token_info(Reply<std::vector<OtpTokenInfo>> reply) = 0;
  // [get_otp] the code of token `name` at UNIX time `time`.
  virtual void otp(const std::string& name, uint64_t time, const std::string& pin,
                   bool hardware_access, Reply<std::string> reply) = 0;
  // [has_access] true: a PIN is set on the key.
  virtual void has_access(Reply<bool> reply) = 0;
  // [verify_pin] true: `pin` is the key's PIN.
  virtual void verify_pin(const std::string& pin, Reply<bool> reply) = 0;
  // [change_pin] sets `new_pin` in place of `old_pin` (empty without a PIN).
  virtual void change_pin(const std::string& new_pin, const std::string& old_pin,
                          Reply<void> reply) = 0;
  // [check_expire] true: the PIN has expired.
  virtual void pin_expired(Reply<bool> reply) = 0;
  // [check_hwaccess] true: the key supports hardware access.
  virtual void hardware_access(Reply<bool> reply) = 0;
  // [check_policy] true: the PIN policy is enabled.
  virtual void policy_enabled(Reply<bool> reply) = 0;
  // [check_compliant] the policy's verdict on `new_pin`.
  virtual void check_compliant(const std::string& new_pin, Reply<PinPolicyResult> reply) = 0;
};

} // namespace otp_service
