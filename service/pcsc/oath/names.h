// How credential names on the key become the token list: a TOTP credential
// whose period is not 30 s is stored as "period/name".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oath/responses.h"

namespace oath {

inline constexpr uint32_t default_period = 30;

struct PeriodPrefix {
  uint32_t period = default_period;
  size_t length = 0;  // of "period/", 0 when there is none
};

// Reads a leading "digits/" whose number is a positive 32-bit value. Any
// other start (no slash, "0/", "x/", a number too large) is no prefix.
PeriodPrefix period_prefix(std::string_view name);

// One token as the service lists it.
struct ListedToken {
  std::string shown;       // the name the app sees and sends back
  std::string credential;  // the name on the key
  uint32_t period = default_period;
};

// The TOTP credentials in the key's order, HOTP ones left out. Names are
// shown without their prefix, except where that would make two shown names
// equal: then every credential involved keeps its whole name.
std::vector<ListedToken> listed_tokens(const std::vector<Credential>& credentials);

// The token that `shown` names, or nullptr.
const ListedToken* find_token(const std::vector<ListedToken>& tokens, std::string_view shown);

} // namespace oath
