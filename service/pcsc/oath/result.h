// What went wrong on the way to the key, and a value-or-failure type that the
// protocol code returns instead of throwing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace oath {

// The kinds of failure the service tells apart.
enum class Fault {
  // Middleware and readers.
  no_service,         // pcscd is not reachable
  no_reader,          // no reader at all
  no_matching_reader, // readers, but none whose name matches the filter
  no_key,             // no card with the OATH applet in the readers
  several_keys,       // more than one card with the applet
  sharing_violation,  // another program holds the card exclusively
  removed,            // the card left during the request
  reset,              // another program reset the card (the caller reconnects)
  reader_failure,     // any other middleware failure
  // The key's answers.
  status,             // an unexpected status word (see Failure::sw)
  malformed,          // an answer that does not parse
  wrong_pin,          // VALIDATE refused our response: wrong password
  not_validated,      // 6982: the key wants a validation first
  touch_timeout,      // 6982 for a credential that needs a touch
  unknown_name,       // no TOTP credential of that name
  no_totp,            // the key holds no TOTP credential
  bad_answer,         // the key's own VALIDATE answer does not check out
  locked,             // a password is set and no key is known for it
  // The request itself.
  empty_pin,
  pin_not_set,
};

// The protocol step a failure happened in.
enum class Step {
  none,
  connect,
  select,
  validate,
  list,
  calculate,
  calculate_all,
  set_code,
};

const char* to_string(Fault fault);
const char* to_string(Step step);

struct Failure {
  Fault fault = Fault::malformed;
  Step step = Step::none;
  uint16_t sw = 0;     // for Fault::status
  std::string detail;  // for the log and the error's context

  Failure() = default;
  Failure(Fault f, Step s = Step::none, std::string d = {}, uint16_t status_word = 0)
    : fault(f), step(s), sw(status_word), detail(std::move(d)) {}
};

// "CALCULATE: status word 6A80" and the like.
std::string describe(const Failure& failure);

// A success without a value.
struct Done {};

template <class T>
class Result {
public:
  Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : value_(std::in_place_index<1>, std::move(failure)) {}

  explicit operator bool() const { return value_.index() == 0; }
  bool ok() const { return value_.index() == 0; }

  T& operator*() { return std::get<0>(value_); }
  const T& operator*() const { return std::get<0>(value_); }
  T* operator->() { return &std::get<0>(value_); }
  const T* operator->() const { return &std::get<0>(value_); }
  const Failure& failure() const { return std::get<1>(value_); }

private:
  std::variant<T, Failure> value_;
};

using Status = Result<Done>;

} // namespace oath
