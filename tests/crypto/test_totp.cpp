#include "crypto/totp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace crypto {
namespace {

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

const std::vector<uint8_t> kSeed20 = bytes("12345678901234567890");
const std::vector<uint8_t> kSeed32 = bytes("12345678901234567890123456789012");
const std::vector<uint8_t> kSeed64 =
    bytes("1234567890123456789012345678901234567890123456789012345678901234");

struct TotpRow {
  uint64_t time;
  Algorithm algorithm;
  const char* code;
};

// RFC 6238 Appendix B.
const TotpRow kRfc6238[] = {
    {59, Algorithm::sha1, "94287082"},          {59, Algorithm::sha256, "46119246"},
    {59, Algorithm::sha512, "90693936"},        {1111111109, Algorithm::sha1, "07081804"},
    {1111111109, Algorithm::sha256, "68084774"}, {1111111109, Algorithm::sha512, "25091201"},
    {1111111111, Algorithm::sha1, "14050471"},  {1111111111, Algorithm::sha256, "67062674"},
    {1111111111, Algorithm::sha512, "99943326"}, {1234567890, Algorithm::sha1, "89005924"},
    {1234567890, Algorithm::sha256, "91819424"}, {1234567890, Algorithm::sha512, "93441116"},
    {2000000000, Algorithm::sha1, "69279037"},  {2000000000, Algorithm::sha256, "90698825"},
    {2000000000, Algorithm::sha512, "38618901"}, {20000000000, Algorithm::sha1, "65353130"},
    {20000000000, Algorithm::sha256, "77737706"}, {20000000000, Algorithm::sha512, "47863826"},
};

const std::vector<uint8_t>& rfc_seed(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::sha1: return kSeed20;
    case Algorithm::sha256: return kSeed32;
    case Algorithm::sha512: return kSeed64;
  }
  throw std::logic_error("algorithm");
}

TEST(Totp, Rfc6238AppendixB) {
  for (const auto& row : kRfc6238) {
    SCOPED_TRACE(std::to_string(row.time) + " " + algorithm_name(row.algorithm));
    EXPECT_EQ(totp(rfc_seed(row.algorithm), row.time, 30, 8, row.algorithm), row.code);
  }
}

TEST(Totp, ShorterCodesAreTheLowDigitsOfTheLongOnes) {
  for (const auto& row : kRfc6238) {
    SCOPED_TRACE(std::to_string(row.time) + " " + algorithm_name(row.algorithm));
    const std::string eight = row.code;
    EXPECT_EQ(totp(rfc_seed(row.algorithm), row.time, 30, 7, row.algorithm), eight.substr(1));
    EXPECT_EQ(totp(rfc_seed(row.algorithm), row.time, 30, 6, row.algorithm), eight.substr(2));
  }
}

TEST(Hotp, Rfc4226AppendixD) {
  const char* expected[] = {"755224", "287082", "359152", "969429", "338314",
                            "254676", "287922", "162583", "399871", "520489"};
  for (uint64_t counter = 0; counter < 10; ++counter) {
    SCOPED_TRACE(counter);
    EXPECT_EQ(hotp(kSeed20, counter, 6, Algorithm::sha1), expected[counter]);
  }
}

TEST(Hotp, KeepsLeadingZeros) {
  EXPECT_EQ(totp(kSeed20, 1111111109, 30, 8, Algorithm::sha1), "07081804");
  EXPECT_EQ(totp(kSeed20, 1111111109, 30, 6, Algorithm::sha1), "081804");
  EXPECT_EQ(totp(kSeed64, 59, 30, 7, Algorithm::sha512), "0693936");
}

TEST(Hotp, RejectsDigitCountsOtherThanSixToEight) {
  for (int digits : {-1, 0, 1, 5, 9, 10}) {
    SCOPED_TRACE(digits);
    EXPECT_THROW(hotp(kSeed20, 0, digits, Algorithm::sha1), std::invalid_argument);
    EXPECT_THROW(totp(kSeed20, 0, 30, digits, Algorithm::sha1), std::invalid_argument);
  }
}

TEST(Totp, PeriodZeroAlwaysUsesCounterZero) {
  // Counter 0 of the RFC 4226 key is 755224.
  for (uint64_t time : {uint64_t{0}, uint64_t{59}, uint64_t{1700000000},
                        std::numeric_limits<uint64_t>::max()}) {
    SCOPED_TRACE(time);
    EXPECT_EQ(totp(kSeed20, time, 0, 6, Algorithm::sha1), "755224");
  }
}

TEST(Totp, ExtremeTimesAndPeriods) {
  // Reference values from an independent HMAC implementation.
  const uint64_t max_time = std::numeric_limits<uint64_t>::max();
  const uint32_t max_period = std::numeric_limits<uint32_t>::max();
  // max_time / max_period is 4294967297: the counter needs more than 32 bits.
  EXPECT_EQ(totp(kSeed20, max_time, max_period, 8, Algorithm::sha1), "39108930");
  EXPECT_EQ(totp(kSeed20, uint64_t{1} << 63, 1, 8, Algorithm::sha1), "17959616");
  EXPECT_EQ(totp(kSeed64, uint64_t{1} << 63, 1, 8, Algorithm::sha512), "33958812");
  EXPECT_EQ(totp(kSeed20, (uint64_t{1} << 63) - 1, 1, 6, Algorithm::sha1), "181742");
  EXPECT_EQ(totp(kSeed20, max_time, 1, 8, Algorithm::sha256), "27790413");
  // Any time below one whole period is counter 0.
  EXPECT_EQ(totp(kSeed20, max_period - 1, max_period, 6, Algorithm::sha1), "755224");
  EXPECT_EQ(totp(kSeed20, max_period, max_period, 6, Algorithm::sha1), "287082");
}

TEST(Totp, EmptyKeyStillGivesACode) {
  const std::string code = hotp({}, 0, 6, Algorithm::sha1);
  EXPECT_EQ(code.size(), 6u);
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
}

TEST(Algorithm, ParsesNamesCaseInsensitively) {
  EXPECT_EQ(parse_algorithm("SHA1"), Algorithm::sha1);
  EXPECT_EQ(parse_algorithm("sha256"), Algorithm::sha256);
  EXPECT_EQ(parse_algorithm("Sha-512"), Algorithm::sha512);
  EXPECT_EQ(parse_algorithm("MD5"), std::nullopt);
  EXPECT_EQ(parse_algorithm("SHA384"), std::nullopt);
  EXPECT_EQ(parse_algorithm(""), std::nullopt);
  for (Algorithm a : {Algorithm::sha1, Algorithm::sha256, Algorithm::sha512}) {
    EXPECT_EQ(parse_algorithm(algorithm_name(a)), a);
  }
}

// RFC 4648 section 10 test vectors.
struct Base32Row {
  const char* plain;
  const char* encoded;
};
const Base32Row kBase32[] = {
    {"", ""},           {"f", "MY======"},      {"fo", "MZXQ===="},
    {"foo", "MZXW6==="}, {"foob", "MZXW6YQ="},  {"fooba", "MZXW6YTB"},
    {"foobar", "MZXW6YTBOI======"},
};

TEST(Base32, Rfc4648Vectors) {
  for (const auto& row : kBase32) {
    SCOPED_TRACE(row.encoded);
    EXPECT_EQ(base32_encode(bytes(row.plain)), row.encoded);
    EXPECT_EQ(base32_decode(row.encoded), bytes(row.plain));
  }
}

TEST(Base32, AcceptsLowercaseMissingPaddingAndSpaces) {
  EXPECT_EQ(base32_decode("mzxw6ytboi"), bytes("foobar"));
  EXPECT_EQ(base32_decode("MzXw6YtBoI======"), bytes("foobar"));
  EXPECT_EQ(base32_decode("MZXW 6YTB OI== ===="), bytes("foobar"));
  EXPECT_EQ(base32_decode(" gezd gnbv gy3t qojq gezd gnbv gy3t qojq "), kSeed20);
  EXPECT_EQ(base32_decode("MZXW6YQ"), bytes("foob"));
  EXPECT_EQ(base32_decode("   "), std::vector<uint8_t>{});
}

TEST(Base32, RejectsInvalidInput) {
  for (const char* bad : {"MZXW6YT1",   // '1' is not in the alphabet
                          "MZXW0YTB",   // neither is '0'
                          "MZXW8YTB",   // nor '8'
                          "MZXW6YT!",   // punctuation
                          "MZXW-6YTB",  // separators other than spaces
                          "MZ=XW6YTB",  // data after padding
                          "MY======MY",
                          "M",          // 1, 3 and 6 leftover symbols encode no whole byte
                          "MZX",
                          "MZXW6Y",
                          "MZXW6YTBM",
                          "\xc3\xa9"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(base32_decode(bad), std::nullopt);
  }
}

TEST(Base32, RoundTripsEveryLength) {
  std::mt19937 rng(7);
  for (size_t length = 0; length < 70; ++length) {
    std::vector<uint8_t> data(length);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const std::string encoded = base32_encode(data);
    SCOPED_TRACE(encoded);
    EXPECT_EQ(encoded.size() % 8, 0u);
    EXPECT_EQ(base32_decode(encoded), data);
  }
}

// ---- Cross-check against oathtool -------------------------------------------

bool have_oathtool() { return std::system("command -v oathtool >/dev/null 2>&1") == 0; }

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string oathtool_totp(const std::string& secret_base32, uint64_t time, uint32_t period,
                          int digits, Algorithm algorithm) {
  return run(std::string("oathtool --totp=") + algorithm_name(algorithm) + " --base32 -d " +
             std::to_string(digits) + " -s " + std::to_string(period) + " -N \"@" +
             std::to_string(time) + "\" " + secret_base32 + " 2>&1");
}

std::string hex(const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(Hmac, Rfc2202AndRfc4231Vectors) {
  // RFC 2202 test case 2 and RFC 4231 test case 2: key "Jefe".
  const auto key = bytes("Jefe");
  const auto message = bytes("what do ya want for nothing?");
  EXPECT_EQ(hex(hmac(Algorithm::sha1, key, message)), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hex(hmac(Algorithm::sha256, key, message)),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hex(hmac(Algorithm::sha512, key, message)),
            "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
            "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737");
  // RFC 2202 test case 6: a key longer than the block is hashed first.
  EXPECT_EQ(hex(hmac(Algorithm::sha1, std::vector<uint8_t>(80, 0xaa),
                     bytes("Test Using Larger Than Block-Size Key - Hash Key First"))),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(Pbkdf2, Rfc6070Vectors) {
  const auto salt = bytes("salt");
  EXPECT_EQ(hex(pbkdf2_hmac_sha1("password", salt, 1, 20)),
            "0c60c80f961f0e71f3a9b524af6012062fe037a6");
  EXPECT_EQ(hex(pbkdf2_hmac_sha1("password", salt, 2, 20)),
            "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  EXPECT_EQ(hex(pbkdf2_hmac_sha1("password", salt, 4096, 20)),
            "4b007901b765489abead49d926f721d065a429c1");
  EXPECT_EQ(hex(pbkdf2_hmac_sha1("passwordPASSWORDpassword",
                                 bytes("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096, 25)),
            "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
  EXPECT_EQ(hex(pbkdf2_hmac_sha1(std::string_view("pass\0word", 9),
                                 std::vector<uint8_t>{'s', 'a', 0, 'l', 't'}, 4096, 16)),
            "56fa6aa75548099dcc37d7f03425e0c3");
  // A password longer than SHA-1's block is hashed first (Python's hashlib).
  EXPECT_EQ(hex(pbkdf2_hmac_sha1(std::string(100, 'x'), {0}, 1000, 16)),
            "0ad62e176611d85be1b8ef1f9778e99e");
  EXPECT_THROW(pbkdf2_hmac_sha1("password", salt, 0, 16), std::runtime_error);
}

// Random bytes come in the size asked for and differ between calls (two
// equal 32-byte draws would be a broken source); comparing looks at every byte.
TEST(Secrets, RandomBytesAndConstantTimeComparison) {
  const auto a = random_bytes(32);
  const auto b = random_bytes(32);
  ASSERT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(random_bytes(0).empty());
  EXPECT_TRUE(equal_in_constant_time(a.data(), a.data(), a.size()));
  auto c = a;
  c.back() ^= 1;
  EXPECT_FALSE(equal_in_constant_time(a.data(), c.data(), c.size()));
  EXPECT_TRUE(equal_in_constant_time(a.data(), c.data(), c.size() - 1));
  c.front() ^= 0x80;
  EXPECT_FALSE(equal_in_constant_time(a.data(), c.data(), 1));
}

TEST(Totp, MatchesOathtool) {
  if (!have_oathtool()) GTEST_SKIP() << "oathtool is not installed";

  std::mt19937_64 rng(20240611);
  const Algorithm algorithms[] = {Algorithm::sha1, Algorithm::sha256, Algorithm::sha512};
  const size_t key_lengths[] = {10, 16, 20, 32, 64};
  const uint32_t periods[] = {1, 30, 60, 7, 86400, 4294967295u};
  for (int i = 0; i < 36; ++i) {
    std::vector<uint8_t> key(key_lengths[i % 5]);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    const Algorithm algorithm = algorithms[i % 3];
    const int digits = (i / 3) % 2 == 0 ? 6 : 8;
    const uint32_t period = i < 30 ? periods[i % 6] : static_cast<uint32_t>(rng() % 100000 + 1);
    // Times up to about 2^40 s (year ~36800), well past 2038.
    const uint64_t time = rng() % (uint64_t{1} << 40);
    const std::string secret = base32_encode(key);
    SCOPED_TRACE(secret + " t=" + std::to_string(time) + " p=" + std::to_string(period) +
                 " d=" + std::to_string(digits) + " " + algorithm_name(algorithm));
    EXPECT_EQ(totp(key, time, period, digits, algorithm),
              oathtool_totp(secret, time, period, digits, algorithm));
  }
  // 2^63 - 1 seconds with a 1 s period: the largest time oathtool accepts.
  const uint64_t late = (uint64_t{1} << 63) - 1;
  EXPECT_EQ(totp(kSeed32, late, 1, 8, Algorithm::sha256),
            oathtool_totp(base32_encode(kSeed32), late, 1, 8, Algorithm::sha256));
}

}  // namespace
}  // namespace crypto
