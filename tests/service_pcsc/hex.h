// Hex text to bytes and back, for readable test vectors.
#pragma once

#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

#include "oath/bytes.h"

inline oath::Bytes unhex(std::string_view text) {
  oath::Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)))
      continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw std::invalid_argument("not hex: " + std::string(text));
    const int v = std::isdigit(static_cast<unsigned char>(c))
                    ? c - '0'
                    : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0)
    throw std::invalid_argument("odd hex: " + std::string(text));
  return out;
}

inline oath::Bytes text_bytes(std::string_view text) { return oath::view_of(text).copy(); }
