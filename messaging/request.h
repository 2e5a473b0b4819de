#pragma once

// Blocking requests to the service: send one request with no time limit and
// wait for its one reply, which is a value or an error.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "caf/actor_system.hpp"
#include "caf/error.hpp"
#include "caf/event_based_actor.hpp"
#include "caf/exit_reason.hpp"
#include "caf/sec.hpp"

#include "errors.h"

// The reply to a blocking request: a value, or the error with its text.
template <class T>
class reply {
public:
  static reply success(T value) {
    reply r;
    r.value_ = std::move(value);
    return r;
  }
  static reply failure(caf::error err, std::string text) {
    reply r;
    r.error_ = std::move(err);
    r.error_text_ = std::move(text);
    return r;
  }

  explicit operator bool() const { return value_.has_value(); }
  const T& operator*() const { return *value_; }
  T& operator*() { return *value_; }
  const T* operator->() const { return &*value_; }
  const caf::error& error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

private:
  std::optional<T> value_;
  caf::error error_;
  std::string error_text_;
};

// A request whose reply carries no value.
template <>
class reply<void> {
public:
  static reply success() {
    reply r;
    r.ok_ = true;
    return r;
  }
  // A reply that came as an error is a failure whatever its code, also one
  // that the actor library holds as "no error" (code 0).
  static reply failure(caf::error err, std::string text) {
    reply r;
    r.error_ = std::move(err);
    r.error_text_ = std::move(text);
    return r;
  }

  explicit operator bool() const { return ok_; }
  const caf::error& error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

private:
  bool ok_ = false;
  caf::error error_;
  std::string error_text_;
};

namespace request_detail {

// The outcome of one blocking request, settled once by whichever comes
// first: the answer, an error, the receiver going down, or the end of the
// asking actor. Waiting on it cannot throw.
template <class R>
class outcome {
public:
  void settle(reply<R> r) {
    std::lock_guard<std::mutex> guard{mtx_};
    if (result_)
      return;
    result_.emplace(std::move(r));
    settled_.notify_all();
  }

  reply<R> wait() {
    std::unique_lock<std::mutex> lock{mtx_};
    settled_.wait(lock, [this] { return result_.has_value(); });
    return std::move(*result_);
  }

private:
  std::mutex mtx_;
  std::condition_variable settled_;
  std::optional<reply<R>> result_;
};

// The text of `err`, also when rendering it throws.
inline std::string safe_error_text(const caf::actor_system& sys, const caf::error& err) {
  try {
    return error_text(sys, err);
  } catch (...) {
    return caf::to_string(err);
  }
}

} // namespace request_detail

// Sends (xs...) to `dest` from a temporary actor of `sys` and waits, without
// a time limit, for a reply of type R. A request on a missing handle fails at
// once. The temporary actor also watches `dest` while the request is open:
// when it goes down before answering (above all when the connection to a
// remote service is lost, which this actor library does not report to
// pending requests), the request fails with `request_receiver_down` instead
// of waiting forever. The watch ends with the answer: a monitor left on a
// long-lived handle would keep the finished actor's memory alive with it.
// When the asking actor itself ends first (killed, or an exception in one of
// its handlers), the request fails with the actor's exit reason.
template <class R, class Handle, class... Ts>
reply<R> request_blocking(caf::actor_system& sys, const Handle& dest, Ts&&... xs) {
  if (!dest) {
    caf::error err = caf::sec::invalid_argument;
    return reply<R>::failure(err, error_text(sys, err));
  }
  using outcome_ptr = std::shared_ptr<request_detail::outcome<R>>;
  auto result = std::make_shared<request_detail::outcome<R>>();
  auto args = std::make_tuple(std::decay_t<Ts>(std::forward<Ts>(xs))...);
  // The outcome travels as the spawn argument: this actor library's sanitizer
  // builds trip over function actors spawned without one. The handle keeps
  // the asking actor alive until it has the answer.
  auto asker = sys.spawn([dest, args](caf::event_based_actor* self, outcome_ptr result) {
    auto settle = [self, result](reply<R> outcome) {
      result->settle(std::move(outcome));
      self->quit();
    };
    auto fail = [self, settle](caf::error err) {
      auto text = error_text(self->system(), err);
      settle(reply<R>::failure(std::move(err), std::move(text)));
    };
    self->monitor(dest);
    // The receiver is gone, and with it the monitor.
    self->set_down_handler([fail](caf::down_msg&) { fail(caf::sec::request_receiver_down); });
    auto on_error = [self, dest, fail](caf::error& err) {
      self->demonitor(dest.address());
      fail(std::move(err));
    };
    auto sent = std::apply(
      [&](const auto&... elements) { return self->request(dest, caf::infinite, elements...); },
      args);
    if constexpr (std::is_void_v<R>)
      sent.then(
          [self, dest, settle] {
            self->demonitor(dest.address());
            settle(reply<R>::success());
          },
          on_error);
    else
      sent.then(
          [self, dest, settle](R& value) {
            self->demonitor(dest.address());
            settle(reply<R>::success(std::move(value)));
          },
          on_error);
  }, result);
  // Runs when the asking actor ends (at once if it has ended already); after
  // an answer it changes nothing.
  auto* home = &sys;
  asker->attach_functor([home, result](const caf::error& reason) {
    auto err = reason ? reason : caf::make_error(caf::exit_reason::unknown);
    auto text = request_detail::safe_error_text(*home, err);
    result->settle(reply<R>::failure(std::move(err), std::move(text)));
  });
  return result->wait();
}
