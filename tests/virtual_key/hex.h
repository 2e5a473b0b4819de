// Hex strings for byte sequences in tests; spaces are skipped.
#pragma once

#include <cstdio>
#include <string>

#include "virtual_key/apdu.h"

namespace virtual_key {

inline Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (c != ' ')
      digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string hex_of(const Bytes& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

}  // namespace virtual_key
