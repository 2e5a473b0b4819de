// The session's protocol steps over a scripted transport.

#include <gtest/gtest.h>

#include "hex.h"
#include "oath/apdu.h"
#include "oath/secret.h"
#include "oath/session.h"
#include "scripted_transport.h"

namespace oath {
namespace {

const std::string kSelect = "00 A4 04 00 07 A0 00 00 05 27 21 01";
const std::string kOpenKey = "79 03 05 04 03 71 08 01 02 03 04 05 06 07 08 90 00";
const std::string kCardChallenge = "A1 A2 A3 A4 A5 A6 A7 A8";
const std::string kLockedKey =
  "79 03 05 04 03 71 08 01 02 03 04 05 06 07 08 74 08 " + kCardChallenge + " 7B 01 01 90 00";

Secret key_of(const std::string& pin) { return derive_key(pin, unhex("01 02 03 04 05 06 07 08")); }

TEST(SessionChaining, JoinsPiecesWithSendRemaining) {
  ScriptedTransport card;
  card.expect("00 A1 00 00 00", "72 04 21 61 62 63 72 61 05")
    .expect("00 A5 00 00 00", "03 20 64 65 61 04")
    .expect("00 A5 00 00 00", "72 02 20 66 90 00");
  Session session(card, counting_random());
  auto list = session.list();
  ASSERT_TRUE(list) << describe(list.failure());
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].name, "abc");
  EXPECT_EQ((*list)[1].name, "de");
  EXPECT_EQ((*list)[2].name, "f");
  EXPECT_TRUE(card.finished());
}

TEST(SessionChaining, EndlessOrBrokenChainsFail) {
  {
    ScriptedTransport card;
    for (int i = 0; i < 2000; ++i)
      card.on([](ByteView) -> Result<Answer> { return Answer{{}, 0x6100}; });
    Session session(card, counting_random());
    auto list = session.list();
    ASSERT_FALSE(list);
    EXPECT_EQ(list.failure().fault, Fault::malformed);
    EXPECT_EQ(list.failure().step, Step::list);
    EXPECT_LE(card.sent().size(), max_chained_rounds + 1);
  }
  {
    ScriptedTransport card;
    card.expect("00 A1 00 00 00", "72 04 21 61 62 63 61 10")
      .fail("00 A5 00 00 00", Failure{Fault::removed, Step::none, "card left"});
    Session session(card, counting_random());
    auto list = session.list();
    ASSERT_FALSE(list);
    EXPECT_EQ(list.failure().fault, Fault::removed);
    EXPECT_EQ(list.failure().step, Step::list);
  }
  {
    // The last piece's status word counts.
    ScriptedTransport card;
    card.expect("00 A1 00 00 00", "72 04 21 61 62 63 61 10").expect("00 A5 00 00 00", "69 82");
    Session session(card, counting_random());
    auto list = session.list();
    ASSERT_FALSE(list);
    EXPECT_EQ(list.failure().fault, Fault::not_validated);
  }
}

TEST(SessionSelect, TellsMissingAppletsFromOtherFailures) {
  for (const char* status : {"6A 82", "6D 00", "6B 00"}) {
    ScriptedTransport card;
    card.expect(kSelect, status);
    Session session(card, counting_random());
    auto info = session.select();
    ASSERT_FALSE(info) << status;
    EXPECT_EQ(info.failure().fault, Fault::no_key) << status;
  }
  ScriptedTransport card;
  card.expect(kSelect, "6F 00").expect(kSelect, "79 03 05 04 90 00").expect(kSelect, kOpenKey);
  Session session(card, counting_random());
  auto other = session.select();
  ASSERT_FALSE(other);
  EXPECT_EQ(other.failure().fault, Fault::status);
  EXPECT_EQ(other.failure().sw, 0x6F00);
  auto broken = session.select();
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.failure().fault, Fault::malformed);
  EXPECT_EQ(broken.failure().step, Step::select);
  EXPECT_FALSE(session.selected());
  auto open = session.select();
  ASSERT_TRUE(open);
  EXPECT_FALSE(open->has_password());
  ASSERT_TRUE(session.selected());
}

// The key's side of VALIDATE: checks our response, answers our challenge.
ScriptedTransport::Handler key_validating(const Secret& key, bool answer_correctly = true) {
  const Bytes card_challenge = unhex(kCardChallenge);
  const Bytes expected_response = hmac_sha1(key.view(), card_challenge);
  const Bytes key_bytes = key.view().copy();
  return [=](ByteView apdu) -> Result<Answer> {
    // 00 A3 00 00 20 75 14 <20 bytes> 74 08 <8 bytes>
    EXPECT_EQ(hex(apdu.sub(0, 7)), "00 A3 00 00 20 75 14");
    EXPECT_EQ(hex(apdu.sub(27, 2)), "74 08");
    if (apdu.size() != 37)
      return Answer{{}, 0x6700};
    if (apdu.sub(7, 20) != ByteView(expected_response))
      return Answer{{}, 0x6A80};
    Bytes answer = hmac_sha1(key_bytes, apdu.sub(29, 8));
    if (!answer_correctly)
      answer[0] ^= 0x01;
    Bytes data{0x75, 0x14};
    append(data, answer);
    return Answer{data, 0x9000};
  };
}

TEST(SessionValidate, ProvesTheKeyAndChecksTheKeysAnswer) {
  const Secret right = key_of("1234");
  {
    ScriptedTransport card;
    card.expect(kSelect, kLockedKey).on(key_validating(right));
    Session session(card, counting_random());
    ASSERT_TRUE(session.select());
    auto status = session.validate(right);
    EXPECT_TRUE(status) << describe(status.failure());
    EXPECT_FALSE(session.selected()->challenge);
    // The challenge is spent: another VALIDATE needs another SELECT.
    auto again = session.validate(right);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.failure().fault, Fault::pin_not_set);
  }
  {
    ScriptedTransport card;
    card.expect(kSelect, kLockedKey).on(key_validating(right));
    Session session(card, counting_random());
    ASSERT_TRUE(session.select());
    auto status = session.validate(key_of("4321"));
    ASSERT_FALSE(status);
    EXPECT_EQ(status.failure().fault, Fault::wrong_pin);
    EXPECT_EQ(status.failure().step, Step::validate);
  }
  {
    // A key that does not know the password but claims success.
    ScriptedTransport card;
    card.expect(kSelect, kLockedKey).on(key_validating(right, false));
    Session session(card, counting_random());
    ASSERT_TRUE(session.select());
    auto status = session.validate(right);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.failure().fault, Fault::bad_answer);
  }
  for (const char* answer : {"90 00", "74 08 01 02 03 04 05 06 07 08 90 00", "75 14 00 90 00"}) {
    SCOPED_TRACE(answer);
    ScriptedTransport card;
    card.expect(kSelect, kLockedKey).on([answer](ByteView) -> Result<Answer> {
      return ScriptedTransport::answer_of(unhex(answer));
    });
    Session session(card, counting_random());
    ASSERT_TRUE(session.select());
    auto status = session.validate(right);
    ASSERT_FALSE(status);
    EXPECT_TRUE(status.failure().fault == Fault::bad_answer
                || status.failure().fault == Fault::malformed)
      << to_string(status.failure().fault);
  }
  {
    ScriptedTransport card;
    card.expect(kSelect, kOpenKey);
    Session session(card, counting_random());
    ASSERT_TRUE(session.select());
    auto status = session.validate(right);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.failure().fault, Fault::pin_not_set);
    EXPECT_TRUE(card.finished());
  }
}

TEST(SessionCalculate, ReadsStatusWordsAsTheProtocolMeansThem) {
  const std::string command = "00 A2 00 01 0D 71 01 61 74 08 00 00 00 00 03 1E 3A 4B";
  const Bytes challenge = unhex("00 00 00 00 03 1E 3A 4B");
  const struct {
    const char* answer;
    Fault fault;
  } rows[] = {{"69 82", Fault::not_validated}, {"69 84", Fault::unknown_name},
              {"6A 80", Fault::status},        {"76 05 06 00 00 90 00", Fault::malformed},
              {"75 05 06 00 00 00 01 90 00", Fault::malformed}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer);
    ScriptedTransport card;
    card.expect(command, row.answer);
    Session session(card, counting_random());
    auto code = session.calculate("a", challenge);
    ASSERT_FALSE(code);
    EXPECT_EQ(code.failure().fault, row.fault);
    EXPECT_EQ(code.failure().step, Step::calculate);
  }
  ScriptedTransport card;
  card.expect(command, "76 05 08 00 01 E2 40 90 00");
  Session session(card, counting_random());
  auto code = session.calculate("a", challenge);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, "00123456");
  // Names a key cannot hold are not sent.
  auto too_long = session.calculate(std::string(65, 'n'), challenge);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.failure().fault, Fault::unknown_name);
  EXPECT_TRUE(card.finished());
}

TEST(SessionSetCode, SendsTheNewKeyWithAChallengeAndItsHmac) {
  const Secret key = key_of("new pin");
  const Bytes challenge = unhex("C0 C1 C2 C3 C4 C5 C6 C7");
  ScriptedTransport card;
  card.expect(hex(set_code_command(key.view(), challenge, hmac_sha1(key.view(), challenge))),
              "90 00")
    .expect(hex(set_code_command(key.view(), unhex("C8 C9 CA CB CC CD CE CF"),
                                 hmac_sha1(key.view(), unhex("C8 C9 CA CB CC CD CE CF")))),
            "69 82");
  Session session(card, counting_random(0xC0));
  EXPECT_TRUE(session.set_code(key));
  auto status = session.set_code(key);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.failure().fault, Fault::not_validated);
  EXPECT_EQ(status.failure().step, Step::set_code);
  EXPECT_TRUE(card.finished());
}

} // namespace
} // namespace oath
