#include "key_config.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <limits>
#include <set>
#include <stdexcept>
#include <vector>

namespace virtual_key {

namespace {

using nlohmann::json;

constexpr int64_t kMaxMilliseconds = 3600000;
constexpr int64_t kMaxPeriod = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxCounter = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kDefaultPeriod = 30;

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Field names and values from the file, printable on one line.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() > 60) {
      out += "...";
      break;
    }
    if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

[[noreturn]] void fail(const std::string& field, const std::string& message) {
  throw ConfigError(field + ": " + message);
}

std::string member(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

void refuse_unknown(const json& object, const std::string& path,
                    std::initializer_list<const char*> known) {
  for (const auto& item : object.items()) {
    bool found = false;
    for (const char* name : known)
      found = found || item.key() == name;
    if (!found)
      fail(member(path, printable(item.key())), "unknown field");
  }
}

int64_t integer(const json& value, const std::string& field, int64_t min, int64_t max) {
  if (!value.is_number_integer())
    fail(field, "must be an integer");
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(max))
    fail(field, "must be at most " + std::to_string(max));
  const auto number = value.get<int64_t>();
  if (number < min || number > max)
    fail(field, "must be " + std::to_string(min) + " to " + std::to_string(max));
  return number;
}

const std::string& text(const json& value, const std::string& field) {
  if (!value.is_string())
    fail(field, "must be a string");
  return value.get_ref<const std::string&>();
}

Bytes salt_of(const json& value) {
  const auto& hex = text(value, "salt");
  if (hex.size() != 16)
    fail("salt", "must be 16 hex digits");
  Bytes salt;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i]))
        || !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
      fail("salt", "must be 16 hex digits");
    salt.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return salt;
}

std::array<uint8_t, 3> version_of(const json& value) {
  const auto& version = text(value, "version");
  std::array<uint8_t, 3> parts{};
  size_t at = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    size_t digits = 0;
    unsigned number = 0;
    while (at < version.size() && std::isdigit(static_cast<unsigned char>(version[at]))
           && digits < 4) {
      number = number * 10 + static_cast<unsigned>(version[at++] - '0');
      ++digits;
    }
    const bool separator_ok = i == 2 ? at == version.size() : at < version.size()
                                                                  && version[at] == '.';
    if (digits == 0 || number > 255 || !separator_ok)
      fail("version", "must be three numbers 0 to 255, as \"5.4.3\"");
    parts[i] = static_cast<uint8_t>(number);
    ++at;
  }
  return parts;
}

// "60/name": what clients read as a period.
bool has_period_prefix(const std::string& name) {
  size_t digits = 0;
  while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits])))
    ++digits;
  return digits > 0 && digits < name.size() && name[digits] == '/';
}

Credential credential_of(const json& object, const std::string& path) {
  if (!object.is_object())
    fail(path, "must be an object");
  refuse_unknown(object, path,
                 {"name", "secret", "type", "algorithm", "digits", "period", "touch", "counter"});
  Credential credential;

  if (auto type = object.find("type"); type != object.end()) {
    const auto& name = text(*type, member(path, "type"));
    if (name == "totp")
      credential.type = OathType::totp;
    else if (name == "hotp")
      credential.type = OathType::hotp;
    else
      fail(member(path, "type"), "must be \"totp\" or \"hotp\"");
  }
  const bool totp = credential.type == OathType::totp;

  if (auto algorithm = object.find("algorithm"); algorithm != object.end()) {
    const auto& name = text(*algorithm, member(path, "algorithm"));
    if (name == "SHA1")
      credential.algorithm = crypto::Algorithm::sha1;
    else if (name == "SHA256")
      credential.algorithm = crypto::Algorithm::sha256;
    else if (name == "SHA512")
      credential.algorithm = crypto::Algorithm::sha512;
    else
      fail(member(path, "algorithm"), "must be \"SHA1\", \"SHA256\" or \"SHA512\"");
  }

  if (auto digits = object.find("digits"); digits != object.end()) {
    credential.digits = static_cast<int>(integer(*digits, member(path, "digits"), 0, 99));
    if (!crypto::valid_digits(credential.digits))
      fail(member(path, "digits"), "must be 6, 7 or 8");
  }

  uint32_t period = kDefaultPeriod;
  if (auto value = object.find("period"); value != object.end()) {
    if (!totp)
      fail(member(path, "period"), "only a totp credential has a period");
    period = static_cast<uint32_t>(integer(*value, member(path, "period"), 1, kMaxPeriod));
  }

  if (auto counter = object.find("counter"); counter != object.end()) {
    if (totp)
      fail(member(path, "counter"), "only a hotp credential has a counter");
    credential.counter = static_cast<uint64_t>(integer(*counter, member(path, "counter"), 0,
                                                       kMaxCounter));
  }

  if (auto touch = object.find("touch"); touch != object.end()) {
    if (!touch->is_boolean())
      fail(member(path, "touch"), "must be true or false");
    credential.touch = touch->get<bool>();
  }

  auto name = object.find("name");
  if (name == object.end())
    fail(member(path, "name"), "missing");
  const auto& given = text(*name, member(path, "name"));
  if (given.empty())
    fail(member(path, "name"), "must not be empty");
  if (totp && has_period_prefix(given))
    fail(member(path, "name"), "give the name without a period prefix and set \"period\"");
  credential.name = totp && period != kDefaultPeriod ? std::to_string(period) + "/" + given
                                                     : given;
  if (credential.name.size() > kMaxNameSize)
    fail(member(path, "name"), "\"" + printable(credential.name) + "\" is longer than "
                                   + std::to_string(kMaxNameSize) + " bytes");

  auto secret = object.find("secret");
  if (secret == object.end())
    fail(member(path, "secret"), "missing");
  auto decoded = crypto::base32_decode(text(*secret, member(path, "secret")));
  if (!decoded)
    fail(member(path, "secret"), "not base32");
  if (decoded->empty())
    fail(member(path, "secret"), "must not be empty");
  const size_t limit = credential.algorithm == crypto::Algorithm::sha512 ? 128 : 64;
  if (decoded->size() > limit)
    fail(member(path, "secret"), "longer than " + std::to_string(limit) + " bytes");
  credential.secret = std::move(*decoded);
  return credential;
}

KeyConfig config_of(const json& root) {
  if (!root.is_object())
    fail("(top level)", "must be an object");
  refuse_unknown(root, "",
                 {"salt", "version", "password", "touch_delay_ms", "touch_timeout_ms",
                  "max_response", "credentials"});
  KeyConfig config;

  auto salt = root.find("salt");
  if (salt == root.end())
    fail("salt", "missing");
  config.state.salt = salt_of(*salt);

  if (auto version = root.find("version"); version != root.end())
    config.state.version = version_of(*version);

  if (auto password = root.find("password"); password != root.end()) {
    const auto& given = text(*password, "password");
    if (given.empty())
      fail("password", "must not be empty (leave it out for a key without one)");
    config.state.access = AccessKey{
        crypto::Algorithm::sha1,
        crypto::pbkdf2_hmac_sha1(given, config.state.salt, kPasswordIterations, kAccessKeySize)};
  }

  if (auto delay = root.find("touch_delay_ms"); delay != root.end())
    config.options.touch_delay =
        std::chrono::milliseconds(integer(*delay, "touch_delay_ms", 0, kMaxMilliseconds));
  if (auto timeout = root.find("touch_timeout_ms"); timeout != root.end())
    config.options.touch_timeout =
        std::chrono::milliseconds(integer(*timeout, "touch_timeout_ms", 1, kMaxMilliseconds));
  if (auto size = root.find("max_response"); size != root.end())
    config.options.max_response = static_cast<size_t>(integer(*size, "max_response", 1, 256));

  if (auto credentials = root.find("credentials"); credentials != root.end()) {
    if (!credentials->is_array())
      fail("credentials", "must be an array");
    if (credentials->size() > kMaxCredentials)
      fail("credentials", "at most " + std::to_string(kMaxCredentials));
    std::set<std::string> names;
    for (size_t i = 0; i < credentials->size(); ++i) {
      const std::string path = "credentials[" + std::to_string(i) + "]";
      auto credential = credential_of((*credentials)[i], path);
      if (!names.insert(credential.name).second)
        fail(member(path, "name"), "\"" + printable(credential.name) + "\" given twice");
      config.state.credentials.push_back(std::move(credential));
    }
  }
  return config;
}

}  // namespace

ConfigResult parse_key_config(std::string_view text) {
  // A field given twice would silently keep the last value: refuse it.
  std::vector<std::set<std::string>> open_objects;
  std::string twice;
  const json::parser_callback_t watch = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      open_objects.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!open_objects.empty())
        open_objects.pop_back();
    } else if (event == json::parse_event_t::key && !open_objects.empty() && twice.empty()) {
      const auto& key = parsed.get_ref<const std::string&>();
      if (!open_objects.back().insert(key).second)
        twice = key;
    }
    return true;
  };
  ConfigResult result;
  json root;
  try {
    root = json::parse(text.begin(), text.end(), watch);
  } catch (const json::exception& e) {
    result.error = std::string("not JSON: ") + e.what();
    return result;
  }
  if (!twice.empty()) {
    result.error = printable(twice) + ": given twice";
    return result;
  }
  try {
    result.config = config_of(root);
  } catch (const ConfigError& e) {
    result.error = e.what();
  }
  return result;
}

const char* config_help() {
  return R"(Configuration (--config FILE, one JSON object):
  salt              16 hex digits (8 bytes), required. SELECT answers with it;
                    clients derive the password key and the device id from it.
  version           "X.Y.Z" firmware version SELECT reports (default "5.4.3").
  password          access password (default: none). The key stores
                    PBKDF2-HMAC-SHA1(password, salt, 1000 iterations, 16 bytes).
  touch_delay_ms    0 to 3600000: a touch credential answers this long after
                    CALCULATE. Absent: the button is never pressed.
  touch_timeout_ms  1 to 3600000 (default 15000): an untouched CALCULATE gives
                    up with 6982 after this long.
  max_response      1 to 256 (default 256): response bytes per APDU; longer
                    answers come in 61xx chunks (SEND REMAINING).
  credentials       array of at most 64 objects (default: none):
    name       text without a period prefix, required; a TOTP credential with a
               period other than 30 is stored and listed as "period/name".
               At most 64 bytes with the prefix.
    secret     base32, required (at most 64 bytes, 128 for SHA512).
    type       "totp" (default) or "hotp".
    algorithm  "SHA1" (default), "SHA256" or "SHA512".
    digits     6 (default), 7 or 8.
    period     seconds, 1 to 2147483647 (default 30); totp only.
    touch      true or false (default): CALCULATE waits for the button.
    counter    0 to 4294967295 (default 0): the first HOTP counter; hotp only.
An unknown field or a bad value: one line on stderr naming the field, exit 2.
State changed by clients (credentials, password, counters) lives as long as
the process and survives removal and insertion.
)";
}

}  // namespace virtual_key
