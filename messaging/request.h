#pragma once

// Blocking requests to the service: send one request with no time limit and
// wait for its one reply, which is a value or an error.

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "caf/actor_system.hpp"
#include "caf/error.hpp"
#include "caf/event_based_actor.hpp"
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
  static reply success() { return reply{}; }
  static reply failure(caf::error err, std::string text) {
    reply r;
    r.error_ = std::move(err);
    r.error_text_ = std::move(text);
    return r;
  }

  explicit operator bool() const { return !error_; }
  const caf::error& error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

private:
  caf::error error_;
  std::string error_text_;
};

// Sends (xs...) to `dest` from a temporary actor of `sys` and waits, without
// a time limit, for a reply of type R. A request on a missing handle fails at
// once. The temporary actor also watches `dest`: when it goes down before
// answering (above all when the connection to a remote service is lost,
// which this actor library does not report to pending requests), the
// request fails with `request_receiver_down` instead of waiting forever.
template <class R, class Handle, class... Ts>
reply<R> request_blocking(caf::actor_system& sys, const Handle& dest, Ts&&... xs) {
  if (!dest) {
    caf::error err = caf::sec::invalid_argument;
    return reply<R>::failure(err, error_text(sys, err));
  }
  auto result = std::make_shared<std::promise<reply<R>>>();
  auto answered = result->get_future();
  auto fail = [&sys, result](caf::error err) {
    auto text = error_text(sys, err);
    result->set_value(reply<R>::failure(std::move(err), std::move(text)));
  };
  auto args = std::make_tuple(std::decay_t<Ts>(std::forward<Ts>(xs))...);
  // The promise travels as the spawn argument: this actor library's sanitizer
  // builds trip over function actors spawned without one.
  using promise_ptr = std::shared_ptr<std::promise<reply<R>>>;
  // The handle keeps the asking actor alive until it has the answer.
  auto asker = sys.spawn([dest, fail, args](caf::event_based_actor* self, promise_ptr result) {
    self->monitor(dest);
    self->set_down_handler([self, fail](caf::down_msg&) {
      fail(caf::sec::request_receiver_down);
      self->quit();
    });
    auto on_error = [self, fail](caf::error& err) {
      fail(std::move(err));
      self->quit();
    };
    auto sent = std::apply(
      [&](const auto&... elements) { return self->request(dest, caf::infinite, elements...); },
      args);
    if constexpr (std::is_void_v<R>)
      sent.then(
          [self, result] {
            result->set_value(reply<R>::success());
            self->quit();
          },
          on_error);
    else
      sent.then(
          [self, result](R& value) {
            result->set_value(reply<R>::success(std::move(value)));
            self->quit();
          },
          on_error);
  }, result);
  return answered.get();
}
