#pragma once

// Blocking requests to the service: send one request with no time limit and
// wait for its one reply, which is a value or an error.

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "caf/actor_system.hpp"
#include "caf/error.hpp"
#include "caf/scoped_actor.hpp"
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

// Sends (xs...) to `dest` from a temporary blocking actor of `sys` and waits,
// without a time limit, for a reply of type R. A request on a missing handle
// fails at once.
template <class R, class Handle, class... Ts>
reply<R> request_blocking(caf::actor_system& sys, const Handle& dest, Ts&&... xs) {
  if (!dest) {
    caf::error err = caf::sec::invalid_argument;
    return reply<R>::failure(err, error_text(sys, err));
  }
  std::optional<reply<R>> result;
  {
    caf::scoped_actor self{sys};
    auto on_error = [&](caf::error& err) {
      result = reply<R>::failure(err, error_text(sys, err));
    };
    if constexpr (std::is_void_v<R>)
      self->request(dest, caf::infinite, std::forward<Ts>(xs)...)
        .receive([&] { result = reply<R>::success(); }, on_error);
    else
      self->request(dest, caf::infinite, std::forward<Ts>(xs)...)
        .receive([&](R& value) { result = reply<R>::success(std::move(value)); }, on_error);
  }
  return std::move(*result);
}
