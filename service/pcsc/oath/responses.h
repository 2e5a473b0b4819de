// The applet's answers, parsed. Every parser takes the data of a 9000 answer
// and returns the value or Fault::malformed; none of them trusts a length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "oath/bytes.h"
#include "oath/result.h"

namespace oath {

struct SelectInfo {
  std::array<uint8_t, 3> version{};
  Bytes salt;                       // identifies the key; salts its password
  std::optional<Bytes> challenge;   // present when a password is set
  std::optional<uint8_t> algorithm; // of the password key, when set

  bool has_password() const { return challenge.has_value(); }
};

// Type and algorithm share one byte in LIST and PUT.
enum class CredentialType : uint8_t { hotp = 0x10, totp = 0x20 };

struct Credential {
  uint8_t type = 0;       // high nibble of the type byte
  uint8_t algorithm = 0;  // low nibble
  std::string name;       // as stored on the key, prefix included

  bool is_totp() const { return type == static_cast<uint8_t>(CredentialType::totp); }
};

// One entry of CALCULATE ALL.
struct CalculatedEntry {
  enum class Kind { code, hotp, touch };
  std::string name;
  Kind kind = Kind::code;
  std::string code;  // for Kind::code: the digits, zero-padded
};

// Longest name a key stores.
inline constexpr size_t max_name_size = 64;

// Version (3 bytes) and salt are required; challenge and algorithm optional.
Result<SelectInfo> parse_select(ByteView data);
// Entries of 0x72 (type byte, name). Names are 1..64 bytes and unique.
Result<std::vector<Credential>> parse_list(ByteView data);
// One 0x76 record: the digit count, then 4 bytes.
Result<std::string> parse_calculate(ByteView data);
// Pairs of 0x71 name and 0x76, 0x77 or 0x7C.
Result<std::vector<CalculatedEntry>> parse_calculate_all(ByteView data);
// The key's 0x75 answer to our challenge (20 bytes of HMAC-SHA1).
Result<Bytes> parse_validate(ByteView data);

// The code of a truncated answer: the 4 bytes as a big-endian number, its top
// bit cleared, modulo 10^digits, zero-padded. Digits must be 6, 7 or 8.
Result<std::string> code_of_truncated(ByteView digits_and_value);

} // namespace oath
