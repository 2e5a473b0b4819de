#include "sim/key_config.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace sim {

namespace {

using nlohmann::json;

constexpr int64_t kMaxNameBytes = 16 * 1024 * 1024;
constexpr int64_t kMaxGeneratedTokens = 1000000;
constexpr int64_t kMaxTouchDelayMs = 3600000;
constexpr int64_t kMaxPinTries = 1000;
constexpr int64_t kMaxPinLength = 1000;
constexpr int64_t kMaxFaultCount = 1000000;
constexpr size_t kMaxQuoted = 60;

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Printable, single-line rendering of arbitrary bytes for error messages.
std::string printable(std::string_view text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || c >= 0x80) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string in_quotes(std::string_view text) { return "\"" + printable(text, kMaxQuoted) + "\""; }

std::string member(const std::string& path, std::string_view key) {
  // Field names come from the file; keep odd ones readable in messages.
  std::string shown = printable(key, kMaxQuoted);
  return path.empty() ? shown : path + "." + shown;
}

std::string element(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

[[noreturn]] void fail(const std::string& path, const std::string& message) {
  throw ConfigError(path + ": " + message);
}

void check_fields(const json& object, const std::string& path,
                  std::initializer_list<std::string_view> allowed) {
  for (const auto& item : object.items()) {
    bool known = false;
    for (auto name : allowed) known = known || item.key() == name;
    if (!known) fail(member(path, item.key()), "unknown field");
  }
}

const json& require_object(const json& value, const std::string& path) {
  if (!value.is_object()) fail(path, "must be an object");
  return value;
}

int64_t get_int(const json& value, const std::string& path, int64_t min, int64_t max) {
  const std::string range =
      "must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
  if (value.is_number_unsigned()) {
    const auto v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(max) || static_cast<int64_t>(v) < min) fail(path, range);
    return static_cast<int64_t>(v);
  }
  if (value.is_number_integer()) {
    const auto v = value.get<int64_t>();
    if (v < min || v > max) fail(path, range);
    return v;
  }
  fail(path, range);
}

bool get_bool(const json& value, const std::string& path) {
  if (!value.is_boolean()) fail(path, "must be true or false");
  return value.get<bool>();
}

const std::string& get_string(const json& value, const std::string& path) {
  if (!value.is_string()) fail(path, "must be a string");
  return value.get_ref<const std::string&>();
}

std::string parse_hex(const std::string& text, const std::string& path) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t') continue;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else fail(path, "invalid hex");
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>((high << 4) | v);
      high = -1;
    }
  }
  if (high >= 0) fail(path, "invalid hex (odd number of digits)");
  return out;
}

void set_secret(Token& token, const json& value, const std::string& path) {
  const std::string& text = get_string(value, path);
  auto decoded = crypto::base32_decode(text);
  if (!decoded) fail(path, "invalid base32");
  if (decoded->empty()) fail(path, "must not be empty");
  token.secret_base32 = text;
  token.secret = std::move(*decoded);
}

uint32_t get_period(const json& value, const std::string& path) {
  return static_cast<uint32_t>(get_int(value, path, 0, std::numeric_limits<uint32_t>::max()));
}

int get_digits(const json& value, const std::string& path) {
  int64_t digits = 0;
  if (value.is_number_unsigned()) {
    digits = value.get<uint64_t>() > 8 ? 0 : static_cast<int64_t>(value.get<uint64_t>());
  } else if (value.is_number_integer()) {
    digits = value.get<int64_t>();
  }
  if (digits < 6 || digits > 8) fail(path, "must be 6, 7 or 8");
  return static_cast<int>(digits);
}

crypto::Algorithm get_algorithm(const json& value, const std::string& path) {
  const std::string& text = get_string(value, path);
  auto algorithm = crypto::parse_algorithm(text);
  if (!algorithm) fail(path, "unknown algorithm " + in_quotes(text) + " (SHA1, SHA256 or SHA512)");
  return *algorithm;
}

Token parse_token(const json& value, const std::string& path) {
  require_object(value, path);
  check_fields(value, path,
               {"name", "name_hex", "name_repeat", "secret", "period", "digits", "algorithm"});
  Token token;

  const int names = static_cast<int>(value.contains("name")) +
                    static_cast<int>(value.contains("name_hex")) +
                    static_cast<int>(value.contains("name_repeat"));
  if (names == 0) fail(path, "needs a name (name, name_hex or name_repeat)");
  if (names > 1) fail(path, "give only one of name, name_hex and name_repeat");
  if (value.contains("name")) {
    token.name = get_string(value["name"], path + ".name");
  } else if (value.contains("name_hex")) {
    token.name = parse_hex(get_string(value["name_hex"], path + ".name_hex"), path + ".name_hex");
  } else {
    const std::string repeat_path = path + ".name_repeat";
    const json& repeat = require_object(value["name_repeat"], repeat_path);
    check_fields(repeat, repeat_path, {"text", "count"});
    if (!repeat.contains("text")) fail(repeat_path + ".text", "missing");
    if (!repeat.contains("count")) fail(repeat_path + ".count", "missing");
    const std::string& text = get_string(repeat["text"], repeat_path + ".text");
    const int64_t count = get_int(repeat["count"], repeat_path + ".count", 0, kMaxNameBytes);
    if (static_cast<int64_t>(text.size()) * count > kMaxNameBytes) {
      fail(repeat_path, "name longer than " + std::to_string(kMaxNameBytes) + " bytes");
    }
    token.name.reserve(text.size() * static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) token.name += text;
  }

  if (!value.contains("secret")) fail(path + ".secret", "missing");
  set_secret(token, value["secret"], path + ".secret");
  if (value.contains("period")) token.period = get_period(value["period"], path + ".period");
  if (value.contains("digits")) token.digits = get_digits(value["digits"], path + ".digits");
  if (value.contains("algorithm")) {
    token.algorithm = get_algorithm(value["algorithm"], path + ".algorithm");
  }
  return token;
}

// A stable, distinct secret per generated token name.
std::vector<uint8_t> derived_secret(const std::string& name) {
  static const char kSeed[] = "tovrin-sim-generated";
  return crypto::hmac(crypto::Algorithm::sha1, reinterpret_cast<const uint8_t*>(kSeed),
                      sizeof kSeed - 1, reinterpret_cast<const uint8_t*>(name.data()),
                      name.size());
}

void generate_tokens(const json& value, std::vector<Token>& tokens) {
  const std::string path = "generate_tokens";
  require_object(value, path);
  check_fields(value, path, {"count", "prefix", "period", "digits", "algorithm", "secret"});
  if (!value.contains("count")) fail(path + ".count", "missing");
  const int64_t count = get_int(value["count"], path + ".count", 1, kMaxGeneratedTokens);

  Token base;
  std::string prefix = "tok";
  if (value.contains("prefix")) prefix = get_string(value["prefix"], path + ".prefix");
  if (value.contains("period")) base.period = get_period(value["period"], path + ".period");
  if (value.contains("digits")) base.digits = get_digits(value["digits"], path + ".digits");
  if (value.contains("algorithm")) {
    base.algorithm = get_algorithm(value["algorithm"], path + ".algorithm");
  }
  const bool shared_secret = value.contains("secret");
  if (shared_secret) set_secret(base, value["secret"], path + ".secret");

  // Zero-padded numbers keep name order and numeric order the same.
  const size_t width = std::to_string(count).size();
  tokens.reserve(tokens.size() + static_cast<size_t>(count));
  for (int64_t i = 1; i <= count; ++i) {
    Token token = base;
    const std::string number = std::to_string(i);
    token.name = prefix + std::string(width - number.size(), '0') + number;
    if (!shared_secret) {
      token.secret = derived_secret(token.name);
      token.secret_base32 = crypto::base32_encode(token.secret);
    }
    tokens.push_back(std::move(token));
  }
}

Fault parse_fault(const json& value, const std::string& path) {
  require_object(value, path);
  check_fields(value, path, {"count", "code", "hang"});
  Fault fault;
  if (value.contains("count")) {
    fault.count = static_cast<int>(get_int(value["count"], path + ".count", -1, kMaxFaultCount));
    if (fault.count == 0) fail(path + ".count", "must be -1 (always) or from 1 to " +
                                                   std::to_string(kMaxFaultCount));
  }
  if (value.contains("hang")) fault.hang = get_bool(value["hang"], path + ".hang");
  if (value.contains("code")) {
    fault.fido_error_code = static_cast<uint8_t>(get_int(value["code"], path + ".code", 1, 255));
  } else if (!fault.hang) {
    fail(path + ".code", "missing (give a FIDO error code or set hang)");
  }
  return fault;
}

void parse_faults(const json& value, KeyConfig& config) {
  const std::string path = "faults";
  require_object(value, path);
  for (const auto& item : value.items()) {
    const std::string request_path = member(path, item.key());
    auto request = parse_request(item.key());
    if (!request) {
      std::string names;
      for (auto known : kAllRequests) {
        names += (names.empty() ? "" : ", ") + std::string(request_name(known));
      }
      fail(request_path, "unknown request (one of " + names + ")");
    }
    if (!item.value().is_array()) fail(request_path, "must be an array of faults");
    auto& list = config.faults[*request];
    for (size_t i = 0; i < item.value().size(); ++i) {
      list.push_back(parse_fault(item.value()[i], element(request_path, i)));
    }
  }
}

void parse_pin_policy(const json& value, PinPolicy& policy) {
  const std::string path = "pin_policy";
  require_object(value, path);
  check_fields(value, path, {"min_length", "max_length", "digits_only"});
  if (value.contains("min_length")) {
    policy.min_length =
        static_cast<int>(get_int(value["min_length"], path + ".min_length", 1, kMaxPinLength));
  }
  if (value.contains("max_length")) {
    policy.max_length =
        static_cast<int>(get_int(value["max_length"], path + ".max_length", 1, kMaxPinLength));
  }
  if (value.contains("digits_only")) {
    policy.digits_only = get_bool(value["digits_only"], path + ".digits_only");
  }
  if (policy.max_length < policy.min_length) {
    fail(path + ".max_length", "must not be less than min_length (" +
                                   std::to_string(policy.min_length) + ")");
  }
}

KeyConfig parse_root(const json& root) {
  if (!root.is_object()) fail("config", "must be a JSON object");
  check_fields(root, "",
               {"comment", "tokens", "generate_tokens", "pin", "policy_enabled",
                "pin_expired", "hw_access_support", "pin_policy", "touch_delay_ms",
                "max_pin_tries", "refuse_actor_lookup", "faults"});
  KeyConfig config = default_key();

  if (root.contains("tokens")) {
    const json& list = root["tokens"];
    if (!list.is_array()) fail("tokens", "must be an array");
    config.tokens.clear();
    for (size_t i = 0; i < list.size(); ++i) {
      config.tokens.push_back(parse_token(list[i], element("tokens", i)));
    }
  }
  if (root.contains("generate_tokens")) generate_tokens(root["generate_tokens"], config.tokens);

  std::unordered_map<std::string_view, size_t> seen;
  for (size_t i = 0; i < config.tokens.size(); ++i) {
    auto [it, inserted] = seen.emplace(config.tokens[i].name, i);
    if (!inserted) {
      fail(element("tokens", i) + ".name",
           "duplicate of tokens[" + std::to_string(it->second) +
               "] (generated tokens are numbered after the listed ones)");
    }
  }

  if (root.contains("pin")) {
    const json& pin = root["pin"];
    if (pin.is_null()) {
      config.pin.reset();
    } else if (pin.is_string()) {
      if (pin.get_ref<const std::string&>().empty()) {
        fail("pin", "must not be empty (null means no PIN)");
      }
      config.pin = pin.get<std::string>();
    } else {
      fail("pin", "must be a string or null");
    }
  }
  if (root.contains("policy_enabled")) {
    config.policy_enabled = get_bool(root["policy_enabled"], "policy_enabled");
  }
  if (root.contains("pin_expired")) {
    config.pin_expired = get_bool(root["pin_expired"], "pin_expired");
  }
  if (root.contains("hw_access_support")) {
    config.hw_access_support = get_bool(root["hw_access_support"], "hw_access_support");
  }
  if (root.contains("pin_policy")) parse_pin_policy(root["pin_policy"], config.pin_policy);
  if (root.contains("touch_delay_ms")) {
    config.touch_delay_ms =
        static_cast<uint32_t>(get_int(root["touch_delay_ms"], "touch_delay_ms", 0, kMaxTouchDelayMs));
  }
  if (root.contains("max_pin_tries")) {
    config.max_pin_tries =
        static_cast<int>(get_int(root["max_pin_tries"], "max_pin_tries", 0, kMaxPinTries));
  }
  if (root.contains("refuse_actor_lookup")) {
    config.refuse_actor_lookup = get_bool(root["refuse_actor_lookup"], "refuse_actor_lookup");
  }
  if (root.contains("faults")) parse_faults(root["faults"], config);
  return config;
}

Token demo_token(std::string name, std::string secret, uint32_t period, int digits,
                 crypto::Algorithm algorithm) {
  Token token;
  token.name = std::move(name);
  token.secret = crypto::base32_decode(secret).value();
  token.secret_base32 = std::move(secret);
  token.period = period;
  token.digits = digits;
  token.algorithm = algorithm;
  return token;
}

}  // namespace

KeyConfig default_key() {
  KeyConfig config;
  config.tokens.push_back(
      demo_token("GitHub", "RTZZPLE75SREQ5Z6GMHJIB2QK3EGY424", 30, 6, crypto::Algorithm::sha1));
  config.tokens.push_back(demo_token(
      "Mail", "4S36A2XUNC3FCCWJXZULNCKQ6GWGU33YO2RKVMMXNMVYRCDFJMVA====", 60, 6,
      crypto::Algorithm::sha256));
  config.tokens.push_back(
      demo_token("VPN", "TYJLS43SV5G76BJQRSPKYRLYGEKHPZXA", 30, 8, crypto::Algorithm::sha1));
  return config;
}

ConfigResult parse_config(const std::string& json_text) {
  ConfigResult result;
  json root;
  // nlohmann keeps the last of repeated keys; a repeated field is a mistake, so catch it.
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  auto watch = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == json::parse_event_t::key && !keys.empty() && parsed.is_string() &&
               !keys.back().insert(parsed.get<std::string>()).second && duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  try {
    root = json::parse(json_text, watch);
  } catch (const json::exception& e) {
    std::string what = e.what();
    // Drop the "[json.exception.parse_error.101] " tag.
    if (!what.empty() && what.front() == '[') {
      const auto end = what.find("] ");
      if (end != std::string::npos) what.erase(0, end + 2);
    }
    result.error = "malformed JSON: " + printable(what, 300);
    return result;
  }
  if (!duplicate.empty()) {
    result.error = printable(duplicate, kMaxQuoted) + ": field given twice";
    return result;
  }
  try {
    result.config = parse_root(root);
  } catch (const ConfigError& e) {
    result.error = e.what();
  }
  return result;
}

ConfigResult load_config(const std::string& path) {
  namespace fs = std::filesystem;
  ConfigResult result;
  const std::string shown = printable(path, 300);
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    result.error = "config file not found: " + shown;
    return result;
  }
  if (fs::is_directory(path, ec)) {
    result.error = "config file is a directory: " + shown;
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in.is_open() || in.bad()) {
    result.error = "cannot read config file: " + shown;
    return result;
  }
  return parse_config(text.str());
}

std::string default_key_help() {
  const KeyConfig key = default_key();
  size_t width = 0;
  for (const Token& token : key.tokens) width = std::max(width, token.name.size());
  std::ostringstream out;
  out << "Default key (without --config): " << (key.pin ? "PIN " + *key.pin : "no PIN")
      << ", PIN policy " << (key.policy_enabled ? "on" : "off") << ". Its tokens, with the\n"
      << "base32 secrets that any TOTP tool checks their codes with:\n";
  for (const Token& token : key.tokens) {
    out << "  " << token.name << std::string(width - token.name.size() + 2, ' ') << token.period
        << " s  " << token.digits << " digits  " << std::left << std::setw(6)
        << crypto::algorithm_name(token.algorithm) << "  " << token.secret_base32 << "\n";
  }
  return out.str();
}

std::string config_help() {
  return R"(Key configuration (JSON object). Every field is optional; a missing field
keeps the default key's value. Unknown fields are an error.

  tokens               array of tokens, in the order the key lists them.
                       Default: "GitHub" (30 s, 6 digits, SHA1), "Mail" (60 s,
                       6 digits, SHA256), "VPN" (30 s, 8 digits, SHA1).
                       [] gives a key without tokens. Each token:
      name             token name (any JSON string; names must be unique)
      name_hex         the name as hex bytes, e.g. "c3 28" (may be invalid UTF-8)
      name_repeat      {"text": "A", "count": 1048576}: text repeated count times
                       (give exactly one of name, name_hex, name_repeat;
                       at most 16777216 bytes)
      secret           base32 secret (RFC 4648, case-insensitive, spaces and
                       '=' padding allowed), required
      period           seconds per code, 0 to 4294967295 (default 30;
                       0 means the code never changes)
      digits           6, 7 or 8 (default 6)
      algorithm        "SHA1", "SHA256" or "SHA512" (default "SHA1")
  generate_tokens      {"count": 10000, "prefix": "tok", "period": 30,
                       "digits": 6, "algorithm": "SHA1", "secret": "..."}:
                       appends count tokens (1 to 1000000) named prefix + a
                       zero-padded number starting at 1 ("tok00001"...).
                       Without "secret" each token gets its own secret.
  pin                  the key's PIN as a string, or null for no PIN (default null)
  policy_enabled       a PIN policy is in force (default false)
  pin_expired          the PIN must be changed; a successful PIN change clears
                       it (default false)
  hw_access_support    the key supports hardware access (default true); an OTP
                       request asking for hardware access fails when false
  pin_policy           rules for a new PIN, checked by check_compliant and
                       change_pin whether or not policy_enabled is set:
      min_length       1 to 1000 characters (default 4)
      max_length       1 to 1000 characters, not below min_length (default 63)
      digits_only      only 0-9 allowed (default false)
  touch_delay_ms       wait before answering get_otp and change_pin, as if the
                       key waited for a touch; 0 to 3600000 (default 0)
  max_pin_tries        consecutive wrong PINs (verify_pin, get_otp, change_pin)
                       after which the PIN is blocked (error 8) until the
                       service restarts; 0 never blocks (default 8)
  refuse_actor_lookup  the first lookup of the service is refused (default false)
  faults               per request, a list of faults used front to back:
                       {"get_otp": [{"count": 2, "code": 16}, {"hang": true}]}
                       requests: has_access, check_policy, check_expire,
                       verify_pin, check_hwaccess, get_info, get_otp,
                       check_compliant, change_pin, lookup
      count            how many answers the fault affects: 1 to 1000000, or
                       -1 for every answer from then on (default 1)
      code             FIDO error code 1 to 255 to answer with (required
                       unless hang is true)
      hang             never answer (default false)
  comment              ignored; room for a note

FIDO error codes: 2 no FIDO tokens, 4 PIN is incorrect, 7 FIDO key timed out,
8 PIN auth blocked, 13 PIN not set, 16 failed to get OTP, 17 failed to list
OTP, 19 operation denied.
)";
}

}  // namespace sim
