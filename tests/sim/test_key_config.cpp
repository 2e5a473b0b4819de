#include "sim/key_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

namespace sim {
namespace {

namespace fs = std::filesystem;

std::string example(const std::string& name) { return std::string(SIM_EXAMPLES_DIR) + "/" + name; }

// Parses text that must be valid and returns the config.
KeyConfig parse_ok(const std::string& text) {
  ConfigResult result = parse_config(text);
  EXPECT_TRUE(result) << result.error;
  return result.config.value_or(KeyConfig{});
}

// Parses text that must be refused and returns the message.
std::string parse_error(const std::string& text) {
  ConfigResult result = parse_config(text);
  EXPECT_FALSE(result) << "accepted: " << text;
  return result.error;
}

bool one_line(const std::string& message) {
  for (char c : message) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return !message.empty();
}

class TempFile {
 public:
  explicit TempFile(const std::string& content)
      : path_(fs::temp_directory_path() /
              ("sim_config_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) +
               ".json")) {
    std::ofstream(path_) << content;
  }
  ~TempFile() { fs::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

TEST(DefaultKey, HasThreeDemoTokensAndNoPin) {
  const KeyConfig key = default_key();
  ASSERT_EQ(key.tokens.size(), 3u);
  EXPECT_EQ(key.tokens[0].name, "GitHub");
  EXPECT_EQ(key.tokens[1].name, "Mail");
  EXPECT_EQ(key.tokens[2].name, "VPN");
  std::set<uint32_t> periods;
  std::set<std::vector<uint8_t>> secrets;
  for (const Token& token : key.tokens) {
    SCOPED_TRACE(token.name);
    EXPECT_EQ(crypto::base32_decode(token.secret_base32), token.secret);
    EXPECT_GE(token.secret.size(), 16u);
    EXPECT_TRUE(crypto::valid_digits(token.digits));
    periods.insert(token.period);
    secrets.insert(token.secret);
  }
  EXPECT_GE(periods.size(), 2u);
  EXPECT_EQ(secrets.size(), 3u);
  EXPECT_EQ(key.tokens[1].algorithm, crypto::Algorithm::sha256);
  EXPECT_EQ(key.tokens[2].digits, 8);

  EXPECT_FALSE(key.pin.has_value());
  EXPECT_FALSE(key.policy_enabled);
  EXPECT_FALSE(key.pin_expired);
  EXPECT_TRUE(key.hw_access_support);
  EXPECT_EQ(key.touch_delay_ms, 0u);
  EXPECT_FALSE(key.refuse_actor_lookup);
  EXPECT_TRUE(key.faults.empty());
}

TEST(ParseConfig, EmptyObjectIsTheDefaultKey) {
  const KeyConfig parsed = parse_ok("{}");
  const KeyConfig key = default_key();
  ASSERT_EQ(parsed.tokens.size(), key.tokens.size());
  for (size_t i = 0; i < key.tokens.size(); ++i) {
    EXPECT_EQ(parsed.tokens[i].name, key.tokens[i].name);
    EXPECT_EQ(parsed.tokens[i].secret, key.tokens[i].secret);
    EXPECT_EQ(parsed.tokens[i].period, key.tokens[i].period);
  }
  EXPECT_EQ(parsed.pin, key.pin);
  EXPECT_EQ(parsed.max_pin_tries, key.max_pin_tries);
}

TEST(ParseConfig, ReadsEveryField) {
  const KeyConfig key = parse_ok(R"({
    "comment": "all fields",
    "tokens": [
      {"name": "B", "secret": "gezd gnbv gy3t qojq", "period": 0, "digits": 7, "algorithm": "sha512"},
      {"name": "A", "secret": "MZXW6YTBOI======", "period": 4294967295}
    ],
    "pin": "2468",
    "policy_enabled": true,
    "pin_expired": true,
    "hw_access_support": false,
    "pin_policy": {"min_length": 6, "max_length": 6, "digits_only": true},
    "touch_delay_ms": 2500,
    "max_pin_tries": 3,
    "refuse_actor_lookup": true,
    "faults": {"get_otp": [{"count": 2, "code": 16}, {"hang": true}],
               "lookup": [{"count": -1, "code": 7}]}
  })");
  ASSERT_EQ(key.tokens.size(), 2u);
  EXPECT_EQ(key.tokens[0].name, "B");
  EXPECT_EQ(key.tokens[0].secret, std::vector<uint8_t>({'1', '2', '3', '4', '5', '6', '7', '8',
                                                        '9', '0'}));
  EXPECT_EQ(key.tokens[0].secret_base32, "gezd gnbv gy3t qojq");
  EXPECT_EQ(key.tokens[0].period, 0u);
  EXPECT_EQ(key.tokens[0].digits, 7);
  EXPECT_EQ(key.tokens[0].algorithm, crypto::Algorithm::sha512);
  EXPECT_EQ(key.tokens[1].name, "A");
  EXPECT_EQ(key.tokens[1].period, 4294967295u);
  EXPECT_EQ(key.tokens[1].digits, 6);
  EXPECT_EQ(key.tokens[1].algorithm, crypto::Algorithm::sha1);

  EXPECT_EQ(key.pin, "2468");
  EXPECT_TRUE(key.policy_enabled);
  EXPECT_TRUE(key.pin_expired);
  EXPECT_FALSE(key.hw_access_support);
  EXPECT_EQ(key.pin_policy.min_length, 6);
  EXPECT_EQ(key.pin_policy.max_length, 6);
  EXPECT_TRUE(key.pin_policy.digits_only);
  EXPECT_EQ(key.touch_delay_ms, 2500u);
  EXPECT_EQ(key.max_pin_tries, 3);
  EXPECT_TRUE(key.refuse_actor_lookup);

  ASSERT_EQ(key.faults.count(Request::get_otp), 1u);
  const auto& otp_faults = key.faults.at(Request::get_otp);
  ASSERT_EQ(otp_faults.size(), 2u);
  EXPECT_EQ(otp_faults[0].count, 2);
  EXPECT_EQ(otp_faults[0].fido_error_code, 16);
  EXPECT_FALSE(otp_faults[0].hang);
  EXPECT_EQ(otp_faults[1].count, 1);
  EXPECT_TRUE(otp_faults[1].hang);
  ASSERT_EQ(key.faults.count(Request::lookup), 1u);
  EXPECT_EQ(key.faults.at(Request::lookup)[0].count, Fault::kForever);
}

TEST(ParseConfig, NullPinAndEmptyTokenList) {
  const KeyConfig key = parse_ok(R"({"pin": null, "tokens": []})");
  EXPECT_FALSE(key.pin.has_value());
  EXPECT_TRUE(key.tokens.empty());
}

TEST(ParseConfig, NamesMayBeAnyBytes) {
  const KeyConfig key = parse_ok(R"({"tokens": [
    {"name_hex": "c3 28 A0a1 00 ff", "secret": "MZXW6YTB"},
    {"name_repeat": {"text": "A", "count": 1048576}, "secret": "MZXW6YTB"},
    {"name_repeat": {"text": "xy", "count": 3}, "secret": "MZXW6YTB"},
    {"name": "", "secret": "MZXW6YTB"},
    {"name": "Zürich ✓", "secret": "MZXW6YTB"}
  ]})");
  ASSERT_EQ(key.tokens.size(), 5u);
  EXPECT_EQ(key.tokens[0].name, std::string("\xc3\x28\xa0\xa1\x00\xff", 6));
  EXPECT_EQ(key.tokens[1].name, std::string(1048576, 'A'));
  EXPECT_EQ(key.tokens[2].name, "xyxyxy");
  EXPECT_EQ(key.tokens[3].name, "");
  EXPECT_EQ(key.tokens[4].name, "Z\xc3\xbcrich \xe2\x9c\x93");
}

TEST(ParseConfig, GeneratesTokensAfterTheListedOnes) {
  const KeyConfig key = parse_ok(R"({
    "tokens": [{"name": "first", "secret": "MZXW6YTB"}],
    "generate_tokens": {"count": 10000, "prefix": "tok", "period": 45, "digits": 8}
  })");
  ASSERT_EQ(key.tokens.size(), 10001u);
  EXPECT_EQ(key.tokens[0].name, "first");
  EXPECT_EQ(key.tokens[1].name, "tok00001");
  EXPECT_EQ(key.tokens[10].name, "tok00010");
  EXPECT_EQ(key.tokens[10000].name, "tok10000");
  std::set<std::string> names;
  std::set<std::vector<uint8_t>> secrets;
  for (size_t i = 1; i < key.tokens.size(); ++i) {
    const Token& token = key.tokens[i];
    names.insert(token.name);
    secrets.insert(token.secret);
    ASSERT_EQ(token.period, 45u);
    ASSERT_EQ(token.digits, 8);
    ASSERT_EQ(crypto::base32_decode(token.secret_base32), token.secret);
  }
  EXPECT_EQ(names.size(), 10000u);
  EXPECT_EQ(secrets.size(), 10000u);

  // The same config generates the same secrets.
  const KeyConfig again = parse_ok(R"({"tokens": [], "generate_tokens": {"count": 2}})");
  const KeyConfig twice = parse_ok(R"({"tokens": [], "generate_tokens": {"count": 2}})");
  ASSERT_EQ(again.tokens.size(), 2u);
  EXPECT_EQ(again.tokens[0].name, "tok1");
  EXPECT_EQ(again.tokens[1].secret, twice.tokens[1].secret);

  const KeyConfig shared = parse_ok(
      R"({"tokens": [], "generate_tokens": {"count": 3, "prefix": "s-", "secret": "MZXW6YTB"}})");
  ASSERT_EQ(shared.tokens.size(), 3u);
  EXPECT_EQ(shared.tokens[2].name, "s-3");
  EXPECT_EQ(shared.tokens[2].secret_base32, "MZXW6YTB");
}

struct BadConfig {
  const char* json;
  const char* message;
};

TEST(ParseConfig, BadConfigsNameTheField) {
  const BadConfig cases[] = {
      {R"([1, 2])", "config: must be a JSON object"},
      {R"({"colour": "red"})", "colour: unknown field"},
      {R"({"pin": "1234", "pin": "5678"})", "pin: field given twice"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": 6, "digits": 8}]})",
       "digits: field given twice"},
      {R"({"Tokens": []})", "Tokens: unknown field"},
      {R"({"tokens": {}})", "tokens: must be an array"},
      {R"({"tokens": [7]})", "tokens[0]: must be an object"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "perod": 30}]})",
       "tokens[0].perod: unknown field"},
      {R"({"tokens": [{"secret": "MZXW6YTB"}]})",
       "tokens[0]: needs a name (name, name_hex or name_repeat)"},
      {R"({"tokens": [{"name": "a", "name_hex": "61", "secret": "MZXW6YTB"}]})",
       "tokens[0]: give only one of name, name_hex and name_repeat"},
      {R"({"tokens": [{"name": 5, "secret": "MZXW6YTB"}]})", "tokens[0].name: must be a string"},
      {R"({"tokens": [{"name_hex": "c3 2", "secret": "MZXW6YTB"}]})",
       "tokens[0].name_hex: invalid hex (odd number of digits)"},
      {R"({"tokens": [{"name_hex": "zz", "secret": "MZXW6YTB"}]})",
       "tokens[0].name_hex: invalid hex"},
      {R"({"tokens": [{"name_repeat": {"text": "A"}, "secret": "MZXW6YTB"}]})",
       "tokens[0].name_repeat.count: missing"},
      {R"({"tokens": [{"name_repeat": {"text": "AB", "count": 16777216}, "secret": "MZXW6YTB"}]})",
       "tokens[0].name_repeat: name longer than 16777216 bytes"},
      {R"({"tokens": [{"name": "a"}]})", "tokens[0].secret: missing"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YT1"}]})", "tokens[0].secret: invalid base32"},
      {R"({"tokens": [{"name": "a", "secret": "  "}]})", "tokens[0].secret: must not be empty"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB"}, {"name": "b", "secret": "MZXW6YTB", "digits": 5}]})",
       "tokens[1].digits: must be 6, 7 or 8"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": 9}]})",
       "tokens[0].digits: must be 6, 7 or 8"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": 6.5}]})",
       "tokens[0].digits: must be 6, 7 or 8"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": "6"}]})",
       "tokens[0].digits: must be 6, 7 or 8"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": 4294967302}]})",
       "tokens[0].digits: must be 6, 7 or 8"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB"}, {"name": "b", "secret": "MZXW6YTB"},
          {"name": "c", "secret": "MZXW6YTB", "algorithm": "MD5"}]})",
       R"(tokens[2].algorithm: unknown algorithm "MD5" (SHA1, SHA256 or SHA512))"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "period": -1}]})",
       "tokens[0].period: must be an integer from 0 to 4294967295"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "period": 4294967296}]})",
       "tokens[0].period: must be an integer from 0 to 4294967295"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "period": 18446744073709551615}]})",
       "tokens[0].period: must be an integer from 0 to 4294967295"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "period": 1e20}]})",
       "tokens[0].period: must be an integer from 0 to 4294967295"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "period": 30.5}]})",
       "tokens[0].period: must be an integer from 0 to 4294967295"},
      {R"({"tokens": [{"name": "a", "secret": "MZXW6YTB"}, {"name": "a", "secret": "MZXW6YTB"}]})",
       "tokens[1].name: duplicate of tokens[0] (generated tokens are numbered after the listed ones)"},
      {R"({"tokens": [{"name": "tok1", "secret": "MZXW6YTB"}], "generate_tokens": {"count": 1}})",
       "tokens[1].name: duplicate of tokens[0] (generated tokens are numbered after the listed ones)"},
      {R"({"generate_tokens": {"count": 0}})",
       "generate_tokens.count: must be an integer from 1 to 1000000"},
      {R"({"generate_tokens": {"prefix": "x"}})", "generate_tokens.count: missing"},
      {R"({"generate_tokens": {"count": 2, "size": 3}})", "generate_tokens.size: unknown field"},
      {R"({"pin": ""})", "pin: must not be empty (null means no PIN)"},
      {R"({"pin": 1234})", "pin: must be a string or null"},
      {R"({"policy_enabled": "yes"})", "policy_enabled: must be true or false"},
      {R"({"pin_policy": {"min_length": 0}})",
       "pin_policy.min_length: must be an integer from 1 to 1000"},
      {R"({"pin_policy": {"min_length": 8, "max_length": 6}})",
       "pin_policy.max_length: must not be less than min_length (8)"},
      {R"({"pin_policy": {"digits": true}})", "pin_policy.digits: unknown field"},
      {R"({"touch_delay_ms": -5})", "touch_delay_ms: must be an integer from 0 to 3600000"},
      {R"({"max_pin_tries": 1001})", "max_pin_tries: must be an integer from 0 to 1000"},
      {R"({"faults": {"get_otpp": []}})",
       "faults.get_otpp: unknown request (one of has_access, check_policy, check_expire, "
       "verify_pin, check_hwaccess, get_info, get_otp, check_compliant, change_pin, lookup)"},
      {R"({"faults": {"get_otp": {"code": 16}}})", "faults.get_otp: must be an array of faults"},
      {R"({"faults": {"get_otp": [{"count": 2}]}})",
       "faults.get_otp[0].code: missing (give a FIDO error code or set hang)"},
      {R"({"faults": {"verify_pin": [{"code": 4}, {"code": 0}]}})",
       "faults.verify_pin[1].code: must be an integer from 1 to 255"},
      {R"({"faults": {"get_info": [{"code": 256}]}})",
       "faults.get_info[0].code: must be an integer from 1 to 255"},
      {R"({"faults": {"get_info": [{"code": 17, "count": 0}]}})",
       "faults.get_info[0].count: must be -1 (always) or from 1 to 1000000"},
      {R"({"faults": {"get_info": [{"code": 17, "cnt": 2}]}})",
       "faults.get_info[0].cnt: unknown field"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const std::string message = parse_error(c.json);
    EXPECT_EQ(message, c.message);
    EXPECT_TRUE(one_line(message));
  }
}

TEST(ParseConfig, OddFieldNamesAreShownEscaped) {
  const std::string message = parse_error(R"({"pi\nn\u0001": "1234"})");
  EXPECT_EQ(message, "pi\\x0an\\x01: unknown field");
  const std::string long_name = parse_error("{\"" + std::string(5000, 'x') + "\": 1}");
  EXPECT_LT(long_name.size(), 100u);
  EXPECT_TRUE(one_line(long_name));
}

TEST(ParseConfig, MalformedJsonIsOneLine) {
  for (const char* text : {"", "{", "{\"pin\": \"1234\",}", "{\n\"tokens\": [\n}\n", "not json",
                           "{\"name\": \"\xc3\x28\"}"}) {
    SCOPED_TRACE(text);
    const std::string message = parse_error(text);
    EXPECT_EQ(message.rfind("malformed JSON: ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("malformed JSON: ").size());
    EXPECT_TRUE(one_line(message)) << message;
  }
}

TEST(LoadConfig, ReadsAFile) {
  TempFile file(R"({"pin": "1234", "tokens": [{"name": "x", "secret": "MZXW6YTB"}]})");
  ConfigResult result = load_config(file.path());
  ASSERT_TRUE(result) << result.error;
  EXPECT_EQ(result.config->pin, "1234");
  ASSERT_EQ(result.config->tokens.size(), 1u);
  EXPECT_EQ(result.config->tokens[0].name, "x");
}

TEST(LoadConfig, ReportsFileProblems) {
  EXPECT_EQ(load_config("/nonexistent/x.json").error, "config file not found: /nonexistent/x.json");
  EXPECT_EQ(load_config(fs::temp_directory_path().string()).error,
            "config file is a directory: " + fs::temp_directory_path().string());

  TempFile empty("");
  EXPECT_EQ(load_config(empty.path()).error.rfind("malformed JSON: ", 0), 0u);
  TempFile bad(R"({"tokens": [{"name": "a", "secret": "MZXW6YTB", "digits": 10}]})");
  EXPECT_EQ(load_config(bad.path()).error, "tokens[0].digits: must be 6, 7 or 8");
}

TEST(Examples, AllParse) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(SIM_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    ConfigResult result = load_config(entry.path().string());
    EXPECT_TRUE(result) << result.error;
    ++count;
  }
  EXPECT_GE(count, 1);
}

TEST(Examples, PinPolicy) {
  ConfigResult result = load_config(example("pin-policy.json"));
  ASSERT_TRUE(result) << result.error;
  const KeyConfig& key = *result.config;
  EXPECT_TRUE(key.pin.has_value());
  EXPECT_TRUE(key.policy_enabled);
  EXPECT_FALSE(key.pin_expired);
  EXPECT_TRUE(key.pin_policy.digits_only);
  EXPECT_EQ(key.tokens.size(), default_key().tokens.size());

  ConfigResult expired = load_config(example("pin-expired.json"));
  ASSERT_TRUE(expired) << expired.error;
  EXPECT_TRUE(expired.config->pin_expired);
  EXPECT_TRUE(expired.config->policy_enabled);
}

TEST(Examples, ManyTokensAndOddTokens) {
  ConfigResult many = load_config(example("many-tokens.json"));
  ASSERT_TRUE(many) << many.error;
  EXPECT_EQ(many.config->tokens.size(), 10003u);
  EXPECT_EQ(many.config->tokens.back().name, "tok10000");

  ConfigResult odd = load_config(example("odd-tokens.json"));
  ASSERT_TRUE(odd) << odd.error;
  bool has_invalid_utf8 = false;
  bool has_megabyte_name = false;
  for (const Token& token : odd.config->tokens) {
    has_invalid_utf8 = has_invalid_utf8 || token.name == "\xc3\x28\xa0\xa1";
    has_megabyte_name = has_megabyte_name || token.name.size() == 1048576;
  }
  EXPECT_TRUE(has_invalid_utf8);
  EXPECT_TRUE(has_megabyte_name);
}

TEST(ConfigHelp, DocumentsEveryAcceptedField) {
  const std::string help = config_help();
  // Each top-level field is known to the parser (a wrong value is reported
  // against the field, not as unknown) and appears in the help text.
  for (const char* field :
       {"comment", "tokens", "generate_tokens", "pin", "policy_enabled",
        "pin_expired", "hw_access_support", "pin_policy", "touch_delay_ms", "max_pin_tries",
        "refuse_actor_lookup", "faults"}) {
    SCOPED_TRACE(field);
    EXPECT_NE(help.find(std::string("  ") + field + " "), std::string::npos);
    const ConfigResult result = parse_config(std::string("{\"") + field + "\": \"?\"}");
    if (!result) {
      EXPECT_EQ(result.error.rfind(std::string(field) + ": must", 0), 0u) << result.error;
    }
  }
  for (const char* field : {"name", "name_hex", "name_repeat", "secret", "period", "digits",
                            "algorithm", "min_length", "max_length", "digits_only", "count",
                            "code", "hang"}) {
    SCOPED_TRACE(field);
    EXPECT_NE(help.find(std::string("  ") + field + " "), std::string::npos);
  }
}

// The README sends users to --help for the demo key's secrets.
TEST(ConfigHelp, ListsTheDefaultKeysTokensWithTheirSecrets) {
  const std::string help = default_key_help();
  EXPECT_NE(help.find("no PIN"), std::string::npos) << help;
  const KeyConfig key = default_key();
  ASSERT_FALSE(key.tokens.empty());
  for (const Token& token : key.tokens) {
    SCOPED_TRACE(token.name);
    const auto line_start = help.find("\n  " + token.name + " ");
    ASSERT_NE(line_start, std::string::npos) << help;
    const std::string line =
        help.substr(line_start + 1, help.find('\n', line_start + 1) - line_start - 1);
    EXPECT_NE(line.find(" " + std::to_string(token.period) + " s "), std::string::npos) << line;
    EXPECT_NE(line.find(std::string(" ") + crypto::algorithm_name(token.algorithm) + " "),
              std::string::npos) << line;
    // The listed secret decodes to the secret the key computes its codes with.
    const std::string listed = line.substr(line.rfind(' ') + 1);
    EXPECT_EQ(crypto::base32_decode(listed), std::optional(token.secret)) << line;
  }
}

TEST(Requests, NamesRoundTrip) {
  std::set<std::string_view> names;
  for (Request request : kAllRequests) {
    names.insert(request_name(request));
    EXPECT_EQ(parse_request(request_name(request)), request);
  }
  EXPECT_EQ(names.size(), kAllRequests.size());
  EXPECT_EQ(request_name(Request::get_otp), "get_otp");
  EXPECT_EQ(request_name(Request::has_access), "has_access");
  EXPECT_EQ(parse_request("GET_OTP"), std::nullopt);
  EXPECT_EQ(parse_request(""), std::nullopt);
}

}  // namespace
}  // namespace sim
