// One-time password maths: base32 secrets, HMAC, HOTP and TOTP, and the
// PBKDF2 key derivation of OATH access passwords. Pure functions; the current
// time is always passed in by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace crypto {

enum class Algorithm { sha1, sha256, sha512 };

// "SHA1", "SHA256", "SHA512", also "SHA-1" etc.; case-insensitive.
std::optional<Algorithm> parse_algorithm(std::string_view text);
// "SHA1", "SHA256" or "SHA512".
const char* algorithm_name(Algorithm algorithm);

// Decodes base32 (A-Z, 2-7), case-insensitive. Whitespace is skipped and
// trailing '=' padding is accepted. Returns nullopt for any other character,
// for data after padding, and for a length no byte sequence encodes to.
std::optional<std::vector<uint8_t>> base32_decode(std::string_view text);
// Upper-case base32 with '=' padding.
std::string base32_encode(const std::vector<uint8_t>& data);

// HMAC of `message` under `key` with the algorithm's hash (20, 32 or 64 bytes).
std::vector<uint8_t> hmac(Algorithm algorithm, const uint8_t* key, size_t key_size,
                          const uint8_t* message, size_t message_size);
std::vector<uint8_t> hmac(Algorithm algorithm, const std::vector<uint8_t>& key,
                          const std::vector<uint8_t>& message);

// `size` bytes from the system's cryptographic random source; throws when
// there is none.
std::vector<uint8_t> random_bytes(size_t size);

// Whether `a` and `b` hold the same `size` bytes, in a time that does not
// depend on where they differ.
bool equal_in_constant_time(const uint8_t* a, const uint8_t* b, size_t size);

// PBKDF2 with HMAC-SHA1: `size` bytes derived from `password` and `salt`.
std::vector<uint8_t> pbkdf2_hmac_sha1(std::string_view password, const std::vector<uint8_t>& salt,
                                      unsigned iterations, size_t size);

// True for the digit counts codes may have: 6, 7 or 8.
bool valid_digits(int digits);

// HOTP value of `counter`, zero-padded to `digits` characters.
// Throws std::invalid_argument when digits is not 6, 7 or 8.
std::string hotp(const std::vector<uint8_t>& key, uint64_t counter, int digits,
                 Algorithm algorithm);

// TOTP value at `unix_time` (seconds): HOTP of unix_time / period.
// A period of 0 always uses counter 0.
std::string totp(const std::vector<uint8_t>& key, uint64_t unix_time, uint32_t period,
                 int digits, Algorithm algorithm);

}  // namespace crypto
