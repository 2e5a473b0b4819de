#include "virtual_key/key_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "hex.h"

namespace virtual_key {
namespace {

TEST(KeyConfig, DefaultsPeriodPrefixAndThePasswordKey) {
  const auto result = parse_key_config(R"({"salt": "0000000000000001", "password": "open sesame",
    "credentials": [{"name": "Bank:carol", "secret": "gezd gnbv gy3t qojq gezd gnbv gy3t qojq", "period": 60},
                    {"name": "a", "secret": "GEZDGNBVGY3TQOJQ", "period": 30, "type": "totp"},
                    {"name": "60/h", "secret": "GEZDGNBVGY3TQOJQ", "type": "hotp", "counter": 4294967295}]})");
  ASSERT_TRUE(result) << result.error;
  const auto& config = *result.config;
  EXPECT_EQ(config.state.version, (std::array<uint8_t, 3>{5, 4, 3}));
  // yubikit derives this key from "open sesame" and this salt (hashlib's PBKDF2).
  ASSERT_TRUE(config.state.access);
  EXPECT_EQ(hex_of(config.state.access->key), "5cda2001781fa4fe4691f9507af244b5");
  EXPECT_FALSE(config.options.touch_delay);
  EXPECT_EQ(config.options.touch_timeout, std::chrono::milliseconds(15000));
  EXPECT_EQ(config.options.max_response, 256u);
  const auto& credentials = config.state.credentials;
  ASSERT_EQ(credentials.size(), 3u);
  EXPECT_EQ(credentials[0].name, "60/Bank:carol");
  EXPECT_EQ(hex_of(credentials[0].secret), "3132333435363738393031323334353637383930");
  EXPECT_EQ(credentials[0].digits, 6);
  EXPECT_EQ(credentials[0].algorithm, crypto::Algorithm::sha1);
  EXPECT_FALSE(credentials[0].touch);
  EXPECT_EQ(credentials[1].name, "a");
  EXPECT_EQ(credentials[2].name, "60/h") << "a HOTP name is taken as it is";
  EXPECT_EQ(credentials[2].counter, 4294967295u);
}

TEST(KeyConfig, EveryRefusalNamesTheField) {
  const std::string salt = R"("salt": "0000000000000001")";
  const auto with = [&](const std::string& credential) {
    return "{" + salt + R"(, "credentials": [)" + credential + "]}";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"{}", "salt: missing"},
      {R"({"salt": "00000000000000"})", "salt: must be 16 hex digits"},
      {R"({"salt": "000000000000000g"})", "salt: must be 16 hex digits"},
      {"{" + salt + R"(, "version": "5.4"})", "version: "},
      {"{" + salt + R"(, "version": "5.4.256"})", "version: "},
      {"{" + salt + R"(, "version": "5.4.3.1"})", "version: "},
      {"{" + salt + R"(, "password": ""})", "password: "},
      {"{" + salt + R"(, "touch_delay_ms": -1})", "touch_delay_ms: "},
      {"{" + salt + R"(, "touch_timeout_ms": 0})", "touch_timeout_ms: "},
      {"{" + salt + R"(, "max_response": 257})", "max_response: "},
      {"{" + salt + R"(, "max_response": 1.5})", "max_response: must be an integer"},
      {"{" + salt + R"(, "colour": "red"})", "colour: unknown field"},
      {"{" + salt + R"(, "salt": "0000000000000002"})", "salt: given twice"},
      {"{" + salt + R"(, "credentials": {}})", "credentials: must be an array"},
      {with(R"({"secret": "GEZDGNBV"})"), "credentials[0].name: missing"},
      {with(R"({"name": "a"})"), "credentials[0].secret: missing"},
      {with(R"({"name": "a", "secret": "GEZDGNB1"})"), "credentials[0].secret: not base32"},
      {with(R"({"name": "a", "secret": ""})"), "credentials[0].secret: must not be empty"},
      {with(R"({"name": "", "secret": "GEZDGNBV"})"), "credentials[0].name: must not be empty"},
      {with(R"({"name": "60/a", "secret": "GEZDGNBV"})"), "credentials[0].name: "},
      {with(R"({"name": ")" + std::string(62, 'n') + R"(", "secret": "GEZDGNBV", "period": 60})"),
       "credentials[0].name: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "digits": 9})"), "credentials[0].digits: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "digits": "6"})"), "credentials[0].digits: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "type": "TOTP"})"), "credentials[0].type: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "algorithm": "MD5"})"), "credentials[0].algorithm: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "period": 0})"), "credentials[0].period: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "type": "hotp", "period": 30})"),
       "credentials[0].period: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "counter": 1})"), "credentials[0].counter: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "type": "hotp", "counter": 4294967296})"),
       "credentials[0].counter: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "touch": 1})"), "credentials[0].touch: "},
      {with(R"({"name": "a", "secret": "GEZDGNBV", "issuer": "x"})"),
       "credentials[0].issuer: unknown field"},
      {with(R"({"name": "a", "secret": "GEZDGNBV"}, {"name": "b", "secret": "GEZDGNBV"},
               {"name": "a", "secret": "GEZDGNBV"})"),
       "credentials[2].name: \"a\" given twice"},
      {"[]", "(top level): "},
      {"{", "not JSON: "},
  };
  for (const auto& [text, expected] : cases) {
    const auto result = parse_key_config(text);
    EXPECT_FALSE(result) << text;
    EXPECT_EQ(result.error.substr(0, expected.size()), expected) << text;
    EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
  }
  // SHA-512 keys may be as long as the hash's block.
  const std::string secret128(205, 'A');  // 205 base32 digits: 128 bytes
  EXPECT_TRUE(parse_key_config(with(R"({"name": "a", "algorithm": "SHA512", "secret": ")"
                                    + secret128 + "=======\"}")))
      << "128 bytes for SHA-512";
  EXPECT_FALSE(parse_key_config(with(R"({"name": "a", "secret": ")" + secret128 + "=======\"}")));
}

TEST(KeyConfig, TheExampleKeysLoad) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const auto result = parse_key_config(text.str());
    EXPECT_TRUE(result) << entry.path() << ": " << result.error;
    ++count;
  }
  EXPECT_GE(count, 7u);
}

}  // namespace
}  // namespace virtual_key
