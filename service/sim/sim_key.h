// The simulated FIDO key: PIN handling, OTP codes and injected faults.
//
// SimKey has no threads and no locks. Give it to one owner (one actor) and
// call it only from there; every method answers at once, and the owner
// applies touch_delay() and hanging faults itself.
#pragma once

#include "sim/key_config.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

// FIDO error codes the key answers with.
namespace fido {
inline constexpr uint8_t kNoTokens = 2;
inline constexpr uint8_t kPinIncorrect = 4;
inline constexpr uint8_t kTimedOut = 7;
inline constexpr uint8_t kPinBlocked = 8;
inline constexpr uint8_t kPinNotSet = 13;
inline constexpr uint8_t kOtpFailed = 16;
inline constexpr uint8_t kListFailed = 17;
inline constexpr uint8_t kDenied = 19;
}  // namespace fido

// Message for a FIDO error code, e.g. "PIN is incorrect."
std::string fido_error_text(uint8_t code);

// A value, or the FIDO error code answered instead (code is 0 on success).
template <class T>
struct Outcome {
  std::optional<T> value;
  uint8_t code = 0;

  static Outcome success(T v) { return Outcome{std::move(v), 0}; }
  static Outcome failure(uint8_t c) { return Outcome{std::nullopt, c}; }
  bool ok() const { return value.has_value(); }
};

template <>
struct Outcome<void> {
  uint8_t code = 0;

  static Outcome success() { return Outcome{0}; }
  static Outcome failure(uint8_t c) { return Outcome{c}; }
  bool ok() const { return code == 0; }
};

struct Compliance {
  bool is_compliant = false;
  std::string reason;  // why a PIN is refused; empty when compliant
};

// What get_info lists about a token: no secret.
struct TokenInfo {
  std::string name;
  uint32_t period = 30;
  int digits = 6;
};

class SimKey {
 public:
  explicit SimKey(KeyConfig config);

  // A PIN is set on the key: the answer to the access query.
  bool has_access() const { return pin_.has_value(); }
  bool policy_enabled() const { return config_.policy_enabled; }
  bool pin_expired() const { return pin_expired_; }
  bool hw_access_support() const { return config_.hw_access_support; }
  bool blocked() const;
  int wrong_pin_count() const { return wrong_pins_; }
  std::chrono::milliseconds touch_delay() const {
    return std::chrono::milliseconds(config_.touch_delay_ms);
  }
  // True for the requests that wait touch_delay() before answering.
  static bool needs_touch(Request request);

  // With a PIN set: true when it matches, false (and one wrong try counted)
  // when not; the try that reaches max_pin_tries and every later verify
  // answer fido::kPinBlocked. A right PIN clears the count.
  // Without a PIN: true for the empty PIN, fido::kPinNotSet for any other.
  Outcome<bool> verify_pin(const std::string& pin);

  // Tokens in configured order.
  const std::vector<Token>& tokens() const { return config_.tokens; }
  const Token* find_token(std::string_view name) const;
  // The get_info answer: fido::kNoTokens when the key holds none.
  Outcome<std::vector<TokenInfo>> token_info() const;

  // Code of token `name` at `unix_time`. Errors: fido::kOtpFailed for an
  // unknown name; with a PIN set, a wrong `pin` counts as a wrong try
  // (fido::kPinIncorrect, or fido::kPinBlocked); fido::kDenied when
  // `hw_access` is asked for but not supported. Without a PIN, `pin` is ignored.
  Outcome<std::string> otp(const std::string& name, uint64_t unix_time, const std::string& pin,
                           bool hw_access);

  // Checks `new_pin` against the PIN rules.
  Compliance check_compliant(const std::string& new_pin) const;

  // Sets a new PIN. `old_pin` must be the current PIN (a wrong one counts as
  // a wrong try) or empty when none is set: fido::kPinIncorrect otherwise;
  // fido::kPinBlocked when blocked; fido::kDenied for a non-compliant
  // new PIN. Success clears pin_expired().
  Outcome<void> change_pin(const std::string& new_pin, const std::string& old_pin);

  // Takes one use of the first pending fault for `request`, if any.
  std::optional<Fault> next_fault(Request request);
  // Queues a fault behind those already pending for `request`.
  void inject(Request request, Fault fault);

 private:
  // Compares against the set PIN, counting wrong tries; nullopt when blocked.
  std::optional<bool> check_pin(const std::string& pin);

  KeyConfig config_;
  std::optional<std::string> pin_;
  bool pin_expired_ = false;
  int wrong_pins_ = 0;
  std::unordered_map<std::string, size_t> by_name_;  // first token of each name
  std::map<Request, std::deque<Fault>> faults_;
};

// One line per request for the service's log: request kind and outcome only.
// Never holds a PIN, a secret or an OTP code.
std::string describe(Request request);
std::string describe(Request request, const Outcome<bool>& outcome);
std::string describe(Request request, const Outcome<std::string>& outcome);
std::string describe(Request request, const Outcome<void>& outcome);
std::string describe(Request request, const Outcome<std::vector<TokenInfo>>& outcome);
std::string describe(Request request, const Compliance& outcome);
std::string describe(Request request, const Fault& fault);

}  // namespace sim
