// The virtual key's JSON configuration: its state at power-on and its timing.
#pragma once

#include "oath_applet.h"

#include <optional>
#include <string>
#include <string_view>

namespace virtual_key {

struct KeyConfig {
  KeyState state;
  AppletOptions options;
};

struct ConfigResult {
  std::optional<KeyConfig> config;
  // One line naming the field, "credentials[2].digits: must be 6, 7 or 8",
  // when the text is refused.
  std::string error;
  explicit operator bool() const { return config.has_value(); }
};

ConfigResult parse_key_config(std::string_view text);

// Iterations and size of the password's PBKDF2-HMAC-SHA1 key.
constexpr unsigned kPasswordIterations = 1000;
constexpr size_t kAccessKeySize = 16;

// The fields of a configuration, for --help.
const char* config_help();

}  // namespace virtual_key
