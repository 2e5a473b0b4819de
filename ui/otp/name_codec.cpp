#include "name_codec.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr char16_t escape_base = 0xDC00;

// Length of the valid UTF-8 sequence at `i` and its code point, or 0 when the
// byte at `i` does not start one (overlong forms, surrogates, values above
// U+10FFFF and truncated sequences are not valid).
size_t decode_one(const unsigned char* s, size_t i, size_t size, char32_t& cp) {
  unsigned char lead = s[i];
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  size_t len;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    min = 0x80;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    min = 0x800;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    min = 0x10000;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (size - i < len)
    return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char c = s[i + k];
    if ((c & 0xC0) != 0x80)
      return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

} // namespace

QString name_to_qstring(const std::string& name) {
  auto s = reinterpret_cast<const unsigned char*>(name.data());
  size_t size = name.size();
  std::u16string out;
  out.reserve(size);
  for (size_t i = 0; i < size;) {
    char32_t cp = 0;
    size_t len = decode_one(s, i, size, cp);
    if (len == 0) {
      out += static_cast<char16_t>(escape_base + s[i]);
      ++i;
      continue;
    }
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i += len;
  }
  return QString::fromUtf16(out.data(), static_cast<int>(out.size()));
}

std::string name_from_qstring(const QString& text) {
  const ushort* u = text.utf16();
  size_t size = static_cast<size_t>(text.size());
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    char16_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(u[i + 1]) - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - escape_base);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      // A lone surrogate that no name decodes to: written as U+FFFD.
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}
