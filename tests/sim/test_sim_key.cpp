#include "sim/sim_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim {
namespace {

KeyConfig with_pin(const std::string& pin, int max_tries = 3) {
  KeyConfig config = default_key();
  config.pin = pin;
  config.max_pin_tries = max_tries;
  return config;
}

// verify_pin answered `expected` rather than an error.
::testing::AssertionResult answers(const Outcome<bool>& outcome, bool expected) {
  if (!outcome.ok()) return ::testing::AssertionFailure() << "error " << int{outcome.code};
  if (*outcome.value != expected) return ::testing::AssertionFailure() << "answered " << !expected;
  return ::testing::AssertionSuccess();
}

Fault error_fault(int count, uint8_t code) {
  Fault fault;
  fault.count = count;
  fault.fido_error_code = code;
  return fault;
}

// ---- PIN -------------------------------------------------------------------

TEST(SimKeyPin, WithoutPinOnlyTheEmptyPinVerifies) {
  SimKey key(default_key());
  EXPECT_FALSE(key.has_access());
  const auto empty = key.verify_pin("");
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(*empty.value);
  for (int i = 0; i < 20; ++i) {
    const auto other = key.verify_pin("1234");
    EXPECT_FALSE(other.ok());
    EXPECT_EQ(other.code, fido::kPinNotSet);
  }
  EXPECT_EQ(key.wrong_pin_count(), 0);
  EXPECT_FALSE(key.blocked());
}

TEST(SimKeyPin, RightAndWrongPin) {
  SimKey key(with_pin("4321", 5));
  EXPECT_TRUE(key.has_access());
  auto wrong = key.verify_pin("1234");
  ASSERT_TRUE(wrong.ok());
  EXPECT_FALSE(*wrong.value);
  EXPECT_EQ(key.wrong_pin_count(), 1);
  EXPECT_TRUE(answers(key.verify_pin(""), false));
  EXPECT_TRUE(answers(key.verify_pin("43210"), false));
  // Not blocked yet at 2 of 3: the right PIN clears the count.
  auto right = key.verify_pin("4321");
  ASSERT_TRUE(right.ok());
  EXPECT_TRUE(*right.value);
  EXPECT_EQ(key.wrong_pin_count(), 0);
}

TEST(SimKeyPin, BlocksAfterMaxConsecutiveWrongTries) {
  const KeyConfig config = with_pin("4321", 3);
  SimKey key(config);
  EXPECT_TRUE(answers(key.verify_pin("0000"), false));
  EXPECT_TRUE(answers(key.verify_pin("0000"), false));
  EXPECT_FALSE(key.blocked());
  const auto third = key.verify_pin("0000");
  EXPECT_FALSE(third.ok());
  EXPECT_EQ(third.code, fido::kPinBlocked);
  EXPECT_TRUE(key.blocked());

  // Blocked: even the right PIN is refused, by verify, get_otp and change_pin alike.
  const auto right = key.verify_pin("4321");
  EXPECT_FALSE(right.ok());
  EXPECT_EQ(right.code, fido::kPinBlocked);
  EXPECT_EQ(key.otp("GitHub", 1000, "4321", false).code, fido::kPinBlocked);
  EXPECT_EQ(key.change_pin("567890", "4321").code, fido::kPinBlocked);
  EXPECT_TRUE(key.blocked());

  // A restart (a fresh key from the same config) unblocks.
  SimKey restarted(config);
  EXPECT_TRUE(answers(restarted.verify_pin("4321"), true));
}

TEST(SimKeyPin, OnlyConsecutiveWrongTriesBlock) {
  SimKey key(with_pin("4321", 3));
  for (int round = 0; round < 5; ++round) {
    EXPECT_TRUE(answers(key.verify_pin("1111"), false));
    EXPECT_TRUE(answers(key.verify_pin("2222"), false));
    EXPECT_TRUE(answers(key.verify_pin("4321"), true));
  }
  EXPECT_FALSE(key.blocked());
}

TEST(SimKeyPin, WrongPinsInOtpAndChangePinCountToo) {
  SimKey key(with_pin("4321", 3));
  EXPECT_EQ(key.otp("GitHub", 1000, "0000", false).code, fido::kPinIncorrect);
  EXPECT_EQ(key.change_pin("567890", "0000").code, fido::kPinIncorrect);
  EXPECT_EQ(key.wrong_pin_count(), 2);
  EXPECT_EQ(key.verify_pin("0000").code, fido::kPinBlocked);
}

TEST(SimKeyPin, ZeroMaxTriesNeverBlocks) {
  SimKey key(with_pin("4321", 0));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(answers(key.verify_pin("0000"), false));
  EXPECT_FALSE(key.blocked());
  EXPECT_TRUE(answers(key.verify_pin("4321"), true));
}

TEST(SimKeyPin, ChangePinNeedsTheOldPin) {
  KeyConfig config = with_pin("4321");
  config.pin_expired = true;
  SimKey key(config);
  EXPECT_TRUE(key.pin_expired());

  EXPECT_EQ(key.change_pin("567890", "0000").code, fido::kPinIncorrect);
  EXPECT_EQ(key.change_pin("567890", "").code, fido::kPinIncorrect);
  EXPECT_TRUE(key.pin_expired());
  EXPECT_TRUE(answers(key.verify_pin("4321"), true));

  EXPECT_TRUE(key.change_pin("567890", "4321").ok());
  EXPECT_FALSE(key.pin_expired());
  EXPECT_TRUE(answers(key.verify_pin("4321"), false));
  EXPECT_TRUE(answers(key.verify_pin("567890"), true));
  EXPECT_TRUE(key.otp("GitHub", 1000, "567890", false).ok());
}

TEST(SimKeyPin, SettingAFirstPin) {
  SimKey key(default_key());
  EXPECT_EQ(key.change_pin("567890", "1234").code, fido::kPinIncorrect);
  EXPECT_FALSE(key.has_access());
  EXPECT_TRUE(key.change_pin("567890", "").ok());
  EXPECT_TRUE(key.has_access());
  EXPECT_TRUE(answers(key.verify_pin("567890"), true));
  EXPECT_TRUE(answers(key.verify_pin(""), false));
}

TEST(SimKeyPin, NonCompliantNewPinIsDenied) {
  KeyConfig config = with_pin("4321");
  config.pin_expired = true;
  config.pin_policy = {6, 8, true};
  SimKey key(config);
  for (const char* bad : {"12345", "123456789", "12345a", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(key.change_pin(bad, "4321").code, fido::kDenied);
  }
  EXPECT_TRUE(key.pin_expired());
  EXPECT_TRUE(answers(key.verify_pin("4321"), true));
  EXPECT_TRUE(key.change_pin("13579135", "4321").ok());
  EXPECT_TRUE(answers(key.verify_pin("13579135"), true));
}

TEST(SimKeyPin, ComplianceReasons) {
  KeyConfig config = default_key();
  config.pin_policy = {6, 8, true};
  const SimKey strict(config);
  struct Case {
    const char* pin;
    bool compliant;
    const char* reason;
  };
  for (const Case& c : {Case{"", false, "PIN must be at least 6 characters long."},
                        Case{"12345", false, "PIN must be at least 6 characters long."},
                        Case{"123456789", false, "PIN must be at most 8 characters long."},
                        Case{"12345a", false, "PIN must contain digits only."},
                        Case{"123 456", false, "PIN must contain digits only."},
                        Case{"12345:", false, "PIN must contain digits only."},
                        Case{"/23456", false, "PIN must contain digits only."},
                        Case{"123456", true, ""},
                        Case{"12345678", true, ""}}) {
    SCOPED_TRACE(c.pin);
    const Compliance result = strict.check_compliant(c.pin);
    EXPECT_EQ(result.is_compliant, c.compliant);
    EXPECT_EQ(result.reason, c.reason);
  }

  // Lengths count characters, not bytes.
  config.pin_policy = {4, 5, false};
  const SimKey loose(config);
  EXPECT_TRUE(loose.check_compliant("\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f").is_compliant);  // äöüß
  EXPECT_EQ(loose.check_compliant("\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4x").reason,
            "PIN must be at most 5 characters long.");
  EXPECT_EQ(loose.check_compliant("\xe2\x9c\x93\xe2\x9c\x93").reason,
            "PIN must be at least 4 characters long.");
  EXPECT_TRUE(loose.check_compliant("ab c").is_compliant);
}

// ---- Tokens and codes -----------------------------------------------------------

TEST(SimKeyTokens, KeepConfiguredOrder) {
  KeyConfig config = default_key();
  config.tokens.clear();
  for (const char* name : {"zulu", "alpha", "Mike", "bravo"}) {
    Token token = default_key().tokens[0];
    token.name = name;
    config.tokens.push_back(token);
  }
  config.tokens[2].period = 90;
  config.tokens[3].digits = 8;
  SimKey key(config);
  ASSERT_EQ(key.tokens().size(), 4u);
  const auto info = key.token_info();
  ASSERT_TRUE(info.ok());
  ASSERT_EQ(info.value->size(), 4u);
  const char* order[] = {"zulu", "alpha", "Mike", "bravo"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(key.tokens()[i].name, order[i]);
    EXPECT_EQ((*info.value)[i].name, order[i]);
  }
  EXPECT_EQ((*info.value)[2].period, 90u);
  EXPECT_EQ((*info.value)[3].digits, 8);
}

TEST(SimKeyTokens, NoTokens) {
  KeyConfig config = default_key();
  config.tokens.clear();
  SimKey key(config);
  EXPECT_EQ(key.token_info().code, fido::kNoTokens);
  EXPECT_EQ(key.otp("GitHub", 1000, "", false).code, fido::kOtpFailed);
}

TEST(SimKeyOtp, CodeEqualsTotpAtTheGivenTime) {
  SimKey key(default_key());
  for (const Token& token : default_key().tokens) {
    for (uint64_t time : {uint64_t{0}, uint64_t{59}, uint64_t{1700000000}, uint64_t{1700000031}}) {
      SCOPED_TRACE(token.name + " @" + std::to_string(time));
      const auto code = key.otp(token.name, time, "", false);
      ASSERT_TRUE(code.ok());
      EXPECT_EQ(*code.value, crypto::totp(token.secret, time, token.period, token.digits, token.algorithm));
    }
  }
  // Different periods: one 60 s step spans two 30 s steps.
  const auto mail_a = key.otp("Mail", 1700000040, "", false);
  const auto mail_b = key.otp("Mail", 1700000070, "", false);
  ASSERT_TRUE(mail_a.ok() && mail_b.ok());
  EXPECT_EQ(*mail_a.value, *mail_b.value);
  EXPECT_EQ(key.otp("VPN", 1700000000, "", false).value.value_or("").size(), 8u);
}

TEST(SimKeyOtp, Errors) {
  KeyConfig config = with_pin("4321", 10);
  config.hw_access_support = false;
  SimKey key(config);
  EXPECT_EQ(key.otp("Nope", 1000, "4321", false).code, fido::kOtpFailed);
  EXPECT_EQ(key.otp("github", 1000, "4321", false).code, fido::kOtpFailed);
  EXPECT_EQ(key.otp("GitHub", 1000, "0000", false).code, fido::kPinIncorrect);
  EXPECT_EQ(key.otp("GitHub", 1000, "", false).code, fido::kPinIncorrect);
  EXPECT_EQ(key.otp("GitHub", 1000, "4321", true).code, fido::kDenied);
  EXPECT_TRUE(key.otp("GitHub", 1000, "4321", false).ok());

  SimKey with_hw(with_pin("4321"));
  EXPECT_TRUE(with_hw.otp("GitHub", 1000, "4321", true).ok());
}

TEST(SimKeyOtp, OddNamesAndManyTokens) {
  ConfigResult result = parse_config(R"({
    "tokens": [
      {"name_hex": "c3 28 ff", "secret": "MZXW6YTB", "period": 0},
      {"name_repeat": {"text": "A", "count": 1048576}, "secret": "GEZDGNBVGY3TQOJQ"},
      {"name": "", "secret": "MZXW6YTBOI", "digits": 7}
    ],
    "generate_tokens": {"count": 10000}
  })");
  ASSERT_TRUE(result) << result.error;
  SimKey key(*result.config);
  for (const std::string& name : {std::string("\xc3\x28\xff"), std::string(1048576, 'A'),
                                 std::string(), std::string("tok05000"),
                                 std::string("tok10000")}) {
    SCOPED_TRACE(name.size());
    const Token* token = key.find_token(name);
    ASSERT_NE(token, nullptr);
    const auto code = key.otp(name, 1234567890, "", false);
    ASSERT_TRUE(code.ok());
    EXPECT_EQ(*code.value, crypto::totp(token->secret, 1234567890, token->period, token->digits,
                                token->algorithm));
  }
  EXPECT_EQ(key.otp(std::string(1048575, 'A'), 0, "", false).code, fido::kOtpFailed);
  EXPECT_EQ(key.otp("tok10001", 0, "", false).code, fido::kOtpFailed);
}

// ---- Reported state -------------------------------------------------------------

TEST(SimKeyState, ReportsConfiguredFlags) {
  KeyConfig config = default_key();
  config.policy_enabled = true;
  config.pin_expired = true;
  config.hw_access_support = false;
  config.touch_delay_ms = 1500;
  SimKey key(config);
  EXPECT_TRUE(key.policy_enabled());
  EXPECT_TRUE(key.pin_expired());
  EXPECT_FALSE(key.hw_access_support());
  EXPECT_EQ(key.touch_delay(), std::chrono::milliseconds(1500));

  SimKey plain(default_key());
  EXPECT_FALSE(plain.has_access()) << "the default key has no PIN";
  EXPECT_FALSE(plain.policy_enabled());
  EXPECT_FALSE(plain.pin_expired());
  EXPECT_TRUE(plain.hw_access_support());
  EXPECT_EQ(plain.touch_delay(), std::chrono::milliseconds(0));
}

TEST(SimKeyState, TouchAppliesToOtpAndChangePinOnly) {
  for (Request request : kAllRequests) {
    SCOPED_TRACE(std::string(request_name(request)));
    EXPECT_EQ(SimKey::needs_touch(request),
              request == Request::get_otp || request == Request::change_pin);
  }
}

// ---- Faults ----------------------------------------------------------------

TEST(SimKeyFaults, ConfiguredFaultsCountDownInOrder) {
  KeyConfig config = default_key();
  config.faults[Request::get_otp] = {error_fault(2, fido::kOtpFailed), Fault{1, 0, true},
                                     error_fault(1, fido::kTimedOut)};
  SimKey key(config);

  for (int i = 0; i < 2; ++i) {
    auto fault = key.next_fault(Request::get_otp);
    ASSERT_TRUE(fault.has_value());
    EXPECT_FALSE(fault->hang);
    EXPECT_EQ(fault->fido_error_code, fido::kOtpFailed);
  }
  auto hang = key.next_fault(Request::get_otp);
  ASSERT_TRUE(hang.has_value());
  EXPECT_TRUE(hang->hang);
  auto last = key.next_fault(Request::get_otp);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->fido_error_code, fido::kTimedOut);
  EXPECT_FALSE(key.next_fault(Request::get_otp).has_value());
  EXPECT_FALSE(key.next_fault(Request::get_otp).has_value());
}

TEST(SimKeyFaults, FaultsBelongToOneRequestKind) {
  KeyConfig config = default_key();
  config.faults[Request::verify_pin] = {error_fault(1, fido::kTimedOut)};
  SimKey key(config);
  for (Request request : kAllRequests) {
    if (request == Request::verify_pin) continue;
    EXPECT_FALSE(key.next_fault(request).has_value()) << request_name(request);
  }
  EXPECT_TRUE(key.next_fault(Request::verify_pin).has_value());
}

TEST(SimKeyFaults, InjectQueuesBehindPendingFaults) {
  KeyConfig config = default_key();
  config.faults[Request::get_info] = {error_fault(1, fido::kListFailed)};
  SimKey key(config);
  key.inject(Request::get_info, error_fault(2, fido::kNoTokens));
  key.inject(Request::get_info, error_fault(0, fido::kDenied));  // no uses: ignored

  EXPECT_EQ(key.next_fault(Request::get_info).value_or(Fault{}).fido_error_code, fido::kListFailed);
  EXPECT_EQ(key.next_fault(Request::get_info).value_or(Fault{}).fido_error_code, fido::kNoTokens);
  EXPECT_EQ(key.next_fault(Request::get_info).value_or(Fault{}).fido_error_code, fido::kNoTokens);
  EXPECT_FALSE(key.next_fault(Request::get_info).has_value());

  key.inject(Request::has_access, Fault{1, 0, true});
  auto hang = key.next_fault(Request::has_access);
  ASSERT_TRUE(hang.has_value());
  EXPECT_TRUE(hang->hang);
  EXPECT_FALSE(key.next_fault(Request::has_access).has_value());
}

TEST(SimKeyFaults, ForeverFaultNeverRunsOut) {
  SimKey key(default_key());
  key.inject(Request::check_policy, error_fault(Fault::kForever, fido::kTimedOut));
  key.inject(Request::check_policy, error_fault(1, fido::kDenied));
  for (int i = 0; i < 1000; ++i) {
    auto fault = key.next_fault(Request::check_policy);
    ASSERT_TRUE(fault.has_value());
    ASSERT_EQ(fault->fido_error_code, fido::kTimedOut);
  }
}

TEST(SimKeyFaults, RefusedLookupComesFirstOnce) {
  KeyConfig config = default_key();
  config.refuse_actor_lookup = true;
  config.faults[Request::lookup] = {error_fault(1, fido::kTimedOut)};
  SimKey key(config);
  auto refusal = key.next_fault(Request::lookup);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->fido_error_code, fido::kDenied);
  EXPECT_EQ(key.next_fault(Request::lookup).value_or(Fault{}).fido_error_code, fido::kTimedOut);
  EXPECT_FALSE(key.next_fault(Request::lookup).has_value());

  SimKey plain(default_key());
  EXPECT_FALSE(plain.next_fault(Request::lookup).has_value());
}

// ---- Log lines ---------------------------------------------------------------

TEST(Describe, NamesRequestAndOutcome) {
  EXPECT_EQ(describe(Request::get_otp), "get_otp");
  EXPECT_EQ(describe(Request::get_otp, Outcome<std::string>::failure(fido::kOtpFailed)),
            "get_otp: error 16 (Failed to get OTP.)");
  EXPECT_EQ(describe(Request::verify_pin, Outcome<bool>::success(false)),
            "verify_pin: ok (false)");
  EXPECT_EQ(describe(Request::verify_pin, Outcome<bool>::failure(fido::kPinBlocked)),
            "verify_pin: error 8 (PIN auth blocked.)");
  EXPECT_EQ(describe(Request::change_pin, Outcome<void>::success()), "change_pin: ok");
  EXPECT_EQ(describe(Request::change_pin, Outcome<void>::failure(fido::kDenied)),
            "change_pin: error 19 (FIDO operation denied.)");
  EXPECT_EQ(describe(Request::check_compliant, Compliance{false, "PIN must contain digits only."}),
            "check_compliant: ok (not compliant: PIN must contain digits only.)");
  EXPECT_EQ(describe(Request::get_info, Fault{1, 0, true}), "get_info: injected hang, no answer");
  EXPECT_EQ(describe(Request::get_info, error_fault(1, fido::kListFailed)),
            "get_info: injected error 17 (Failed to list OTP.)");
}

TEST(Describe, NeverShowsPinsSecretsOrCodes) {
  const std::string pin = "97531864";
  KeyConfig config = with_pin(pin, 10);
  config.pin_policy = {8, 8, true};
  SimKey key(config);
  const Token& token = key.tokens()[0];
  const std::string code =
      crypto::totp(token.secret, 1700000000, token.period, token.digits, token.algorithm);

  std::vector<std::string> lines;
  lines.push_back(describe(Request::verify_pin, key.verify_pin(pin)));
  lines.push_back(describe(Request::verify_pin, key.verify_pin("86420864")));
  lines.push_back(describe(Request::get_otp, key.otp(token.name, 1700000000, pin, false)));
  lines.push_back(describe(Request::get_info, key.token_info()));
  lines.push_back(describe(Request::check_compliant, key.check_compliant("12345678")));
  lines.push_back(describe(Request::change_pin, key.change_pin("12345678", pin)));
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    EXPECT_EQ(line.find(pin), std::string::npos);
    EXPECT_EQ(line.find("86420864"), std::string::npos);
    EXPECT_EQ(line.find("12345678"), std::string::npos);
    EXPECT_EQ(line.find(code), std::string::npos);
    EXPECT_EQ(line.find(token.secret_base32), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  EXPECT_EQ(lines[2], "get_otp: ok (6-digit code)");
  EXPECT_EQ(lines[3], "get_info: ok (3 tokens)");
}

}  // namespace
}  // namespace sim
