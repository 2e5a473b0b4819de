// What the simulated key holds and how it misbehaves, read from a JSON file.
#pragma once

#include "core/requests.h"
#include "crypto/totp.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Requests the FIDO OTP service answers, by their names in config files.
using otp_service::kAllRequests;
using otp_service::parse_request;
using otp_service::Request;
using otp_service::request_name;

// An injected failure: the next `count` answers to a request fail with
// `fido_error_code`, or, when `hang` is set, are never sent.
// count == kForever applies the fault to every later answer.
struct Fault {
  static constexpr int kForever = -1;
  int count = 1;
  uint8_t fido_error_code = 0;
  bool hang = false;
};

struct Token {
  std::string name;  // arbitrary bytes, unique within a key
  std::string secret_base32;
  std::vector<uint8_t> secret;
  uint32_t period = 30;  // seconds; 0 means the counter is always 0
  int digits = 6;        // 6, 7 or 8
  crypto::Algorithm algorithm = crypto::Algorithm::sha1;
};

// Rules a new PIN must meet. Lengths count Unicode code points.
struct PinPolicy {
  int min_length = 4;
  int max_length = 63;
  bool digits_only = false;
};

struct KeyConfig {
  std::vector<Token> tokens;
  std::optional<std::string> pin;
  bool policy_enabled = false;
  bool pin_expired = false;
  bool hw_access_support = true;
  PinPolicy pin_policy;
  uint32_t touch_delay_ms = 0;  // before answering get_otp and change_pin
  int max_pin_tries = 8;        // consecutive wrong PINs until blocked; 0 never blocks
  bool refuse_actor_lookup = false;
  std::map<Request, std::vector<Fault>> faults;  // consumed front to back
};

// Three demo tokens, no PIN, policy off, no touch delay, hardware access supported.
KeyConfig default_key();

// Either a config or a one-line message naming the offending field.
struct ConfigResult {
  std::optional<KeyConfig> config;
  std::string error;

  explicit operator bool() const { return config.has_value(); }
};

// Fields missing from the JSON keep their default_key() values.
ConfigResult parse_config(const std::string& json_text);
ConfigResult load_config(const std::string& path);

// The default key's tokens with their secrets, for --help.
std::string default_key_help();

// Describes every config field, for --help.
std::string config_help();

}  // namespace sim
