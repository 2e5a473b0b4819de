#include "crypto/totp.h"

#include <cctype>
#include <stdexcept>

namespace crypto {

namespace {

constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

int base32_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a';
  if (c >= '2' && c <= '7') return c - '2' + 26;
  return -1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<Algorithm> parse_algorithm(std::string_view text) {
  std::string upper;
  for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "SHA1" || upper == "SHA-1") return Algorithm::sha1;
  if (upper == "SHA256" || upper == "SHA-256") return Algorithm::sha256;
  if (upper == "SHA512" || upper == "SHA-512") return Algorithm::sha512;
  return std::nullopt;
}

const char* algorithm_name(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::sha1: return "SHA1";
    case Algorithm::sha256: return "SHA256";
    case Algorithm::sha512: return "SHA512";
  }
  return "?";
}

std::optional<std::vector<uint8_t>> base32_decode(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 5 / 8);
  uint32_t buffer = 0;
  int bits = 0;
  size_t symbols = 0;
  bool padding = false;
  for (char c : text) {
    if (is_space(c)) continue;
    if (c == '=') {
      padding = true;
      continue;
    }
    if (padding) return std::nullopt;
    int v = base32_value(c);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 5) | static_cast<uint32_t>(v);
    bits += 5;
    ++symbols;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(buffer >> bits));
      buffer &= (1u << bits) - 1;
    }
  }
  // A block of 8 symbols carries 5 bytes; 1, 3 or 6 leftover symbols cannot
  // come from any whole number of bytes.
  switch (symbols % 8) {
    case 1:
    case 3:
    case 6: return std::nullopt;
    default: return out;
  }
}

std::string base32_encode(const std::vector<uint8_t>& data) {
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (uint8_t byte : data) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out += kBase32Alphabet[(buffer >> bits) & 0x1f];
    }
    buffer &= (1u << bits) - 1;
  }
  if (bits > 0) out += kBase32Alphabet[(buffer << (5 - bits)) & 0x1f];
  while (out.size() % 8 != 0) out += '=';
  return out;
}

bool valid_digits(int digits) { return digits >= 6 && digits <= 8; }

bool equal_in_constant_time(const uint8_t* a, const uint8_t* b, size_t size) {
  volatile uint8_t differ = 0;
  for (size_t i = 0; i < size; ++i) differ = differ | (a[i] ^ b[i]);
  return differ == 0;
}

std::vector<uint8_t> hmac(Algorithm algorithm, const std::vector<uint8_t>& key,
                          const std::vector<uint8_t>& message) {
  return hmac(algorithm, key.data(), key.size(), message.data(), message.size());
}

std::string hotp(const std::vector<uint8_t>& key, uint64_t counter, int digits,
                 Algorithm algorithm) {
  if (!valid_digits(digits)) throw std::invalid_argument("digits must be 6, 7 or 8");

  std::vector<uint8_t> message(8);
  for (int i = 7; i >= 0; --i) {
    message[static_cast<size_t>(i)] = static_cast<uint8_t>(counter & 0xff);
    counter >>= 8;
  }
  const auto mac = hmac(algorithm, key, message);
  if (mac.size() < 20) throw std::runtime_error("HMAC computation failed");

  const unsigned offset = mac.back() & 0x0f;
  const uint32_t binary = (static_cast<uint32_t>(mac[offset] & 0x7f) << 24) |
                          (static_cast<uint32_t>(mac[offset + 1]) << 16) |
                          (static_cast<uint32_t>(mac[offset + 2]) << 8) |
                          static_cast<uint32_t>(mac[offset + 3]);
  uint32_t modulus = 1;
  for (int i = 0; i < digits; ++i) modulus *= 10;

  std::string code = std::to_string(binary % modulus);
  return std::string(static_cast<size_t>(digits) - code.size(), '0') + code;
}

std::string totp(const std::vector<uint8_t>& key, uint64_t unix_time, uint32_t period,
                 int digits, Algorithm algorithm) {
  const uint64_t counter = period == 0 ? 0 : unix_time / period;
  return hotp(key, counter, digits, algorithm);
}

}  // namespace crypto
