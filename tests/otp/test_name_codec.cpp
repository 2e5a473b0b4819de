// Token names between the service's bytes and widget text.

#include <random>

#include <gtest/gtest.h>

#include "otp/name_codec.h"

namespace {

std::u16string units(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size());
}

std::u16string escapes(const std::string& bytes) {
  std::u16string result;
  for (unsigned char b : bytes)
    result += char16_t(0xDC00 + b);
  return result;
}

} // namespace

TEST(NameCodec, DecodesValidUtf8AsText) {
  EXPECT_EQ(name_to_qstring("GitHub: alice"), QString("GitHub: alice"));
  const std::string multi = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf";
  EXPECT_EQ(name_to_qstring(multi), QString::fromUtf8(multi.c_str()));
  EXPECT_EQ(name_to_qstring("\xf0\x9f\x98\x80").size(), 2) << "a surrogate pair";
  EXPECT_EQ(name_to_qstring(std::string("a\0b", 3)).size(), 3) << "NUL is a character";
  EXPECT_EQ(name_to_qstring(""), QString());
}

TEST(NameCodec, EscapesEveryByteOutsideAValidSequence) {
  struct sample {
    const char* what;
    std::string bytes;
    std::u16string expected;
  };
  const std::vector<sample> samples{
    {"stray continuation", "a\x80z", u"a" + escapes("\x80") + u"z"},
    {"bytes never in UTF-8", "\xc0\xc1\xf5\xff", escapes("\xc0\xc1\xf5\xff")},
    {"truncated two-byte", "\xc3", escapes("\xc3")},
    {"truncated three-byte", "\xe2\x82z", escapes("\xe2\x82") + u"z"},
    {"truncated four-byte", "\xf0\x9f\x98", escapes("\xf0\x9f\x98")},
    {"lead then ASCII", "\xe2" "A", escapes("\xe2") + u"A"},
    {"overlong slash", "\xc0\xaf", escapes("\xc0\xaf")},
    {"overlong three-byte", "\xe0\x80\xaf", escapes("\xe0\x80\xaf")},
    {"overlong four-byte", "\xf0\x80\x80\xaf", escapes("\xf0\x80\x80\xaf")},
    {"encoded surrogate", "\xed\xa0\x80", escapes("\xed\xa0\x80")},
    {"encoded low surrogate", "\xed\xbf\xbf", escapes("\xed\xbf\xbf")},
    {"above U+10FFFF", "\xf4\x90\x80\x80", escapes("\xf4\x90\x80\x80")},
    {"valid after invalid", "\xff\xc3\xa9", escapes("\xff") + u"\u00e9"},
    {"pair then escape", "\xf0\x9f\x98\x80\x80", u"\U0001F600" + escapes("\x80")},
  };
  for (auto& s : samples) {
    SCOPED_TRACE(s.what);
    auto text = name_to_qstring(s.bytes);
    EXPECT_EQ(units(text), s.expected);
    EXPECT_EQ(name_from_qstring(text), s.bytes);
  }
}

TEST(NameCodec, RoundTripsEveryByteString) {
  for (int a = 0; a < 256; ++a) {
    std::string one(1, char(a));
    ASSERT_EQ(name_from_qstring(name_to_qstring(one)), one) << a;
    for (int b = 0; b < 256; ++b) {
      std::string two{char(a), char(b)};
      ASSERT_EQ(name_from_qstring(name_to_qstring(two)), two) << a << " " << b;
    }
  }
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> length(0, 24), byte(0, 255), lead(0xC0, 0xFF);
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    int n = length(rng);
    for (int k = 0; k < n; ++k)
      s += char(k % 3 == 0 ? lead(rng) : byte(rng)); // leads make near-valid sequences
    ASSERT_EQ(name_from_qstring(name_to_qstring(s)), s);
  }
  // Surrogates encoded one by one (CESU-8) must not fuse into a pair.
  const std::string cesu = "\xed\xa0\xbd\xed\xb8\x80";
  EXPECT_EQ(units(name_to_qstring(cesu)), escapes(cesu));
  EXPECT_EQ(name_from_qstring(name_to_qstring(cesu)), cesu);
}

TEST(NameCodec, RoundTripsAMegabyteName) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string big;
  big.reserve(1 << 20);
  while (big.size() < (1u << 20)) {
    big += "\xe2\x82\xac";
    big += char(byte(rng));
  }
  EXPECT_EQ(name_from_qstring(name_to_qstring(big)), big);
}

TEST(NameCodec, LoneSurrogatesNoNameDecodesToBecomeReplacementCharacters) {
  EXPECT_EQ(name_from_qstring(QString(QChar(0xD800))), "\xef\xbf\xbd");
  EXPECT_EQ(name_from_qstring(QString(QChar(0xDC41))), "\xef\xbf\xbd");
  QString high_then_ascii;
  high_then_ascii += QChar(0xD83D);
  high_then_ascii += QChar('x');
  EXPECT_EQ(name_from_qstring(high_then_ascii), "\xef\xbf\xbdx");
}
