// The backend's requests over fake readers and keys, on a real card thread.

#include <gtest/gtest.h>

#include "backend_fixture.h"
#include "crypto/totp.h"

namespace {

using backend::ServiceError;

const char* kSecret = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

std::string expected_code(uint64_t time, uint32_t period, int digits = 6) {
  return crypto::totp(*crypto::base32_decode(kSecret), time, period, digits,
                      crypto::Algorithm::sha1);
}

std::shared_ptr<FakeKey> key_with(const oath::Bytes& salt, std::vector<FakeCredential> creds) {
  return std::make_shared<FakeKey>(salt, std::move(creds));
}

std::shared_ptr<FakeKey> usual_key(const oath::Bytes& salt = kSaltA) {
  return key_with(salt, {{"Mail:bob"}, {"counter", false}, {"60/Bank:carol", true, false, kSecret, 8}});
}

// ---- Info ----------------------------------------------------------------------

TEST_F(BackendTest, InfoListsTotpTokensAndAnswersFromCacheWhileTheKeyStays) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  EXPECT_EQ(key->count("A4"), 1);
  monitor_sees();
  const int asked = readers.states_calls();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  // No card work at all: neither the applet nor the readers were asked.
  EXPECT_EQ(key->count("A4"), 1);
  EXPECT_EQ(readers.states_calls(), asked);

  // Pulled and put back between two looks: the event count tells.
  key->credentials.push_back({"new"});
  readers.remove(kReader);
  readers.insert(kReader, key);
  monitor_sees();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60 new@30");
  EXPECT_EQ(key->count("A4"), 2);
}

TEST_F(BackendTest, InfoKeepsTheLastListWhileTheKeyIsOutAndTakesAnotherKeysList) {
  readers.add(kReader);
  start();
  // No key ever seen.
  EXPECT_EQ(kind(info()), fido(2));
  readers.insert(kReader, usual_key());
  monitor_sees();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  readers.remove(kReader);
  monitor_sees();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  EXPECT_EQ(kind(code("Mail:bob", 1000)), fido(2));
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  // pcscd gone: the same.
  readers.set_service(false);
  presence.set(std::nullopt);
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  readers.set_service(true);
  readers.insert(kReader, key_with(kSaltB, {{"other"}}));
  monitor_sees();
  EXPECT_EQ(names(info()), "other@30");
}

TEST_F(BackendTest, InfoTellsTwoKeysAndKeysWithoutTotp) {
  auto hotp_only = key_with(kSaltA, {{"counter", false}});
  readers.add(kReader, hotp_only);
  start();
  EXPECT_EQ(kind(info()), fido(18));
  readers.remove(kReader);
  readers.insert(kReader, key_with(kSaltA, {}));
  monitor_sees();
  EXPECT_EQ(kind(info()), fido(18));

  readers.remove(kReader);
  readers.insert(kReader, usual_key());
  readers.add(kReader2, usual_key(kSaltB));
  monitor_sees();
  const auto two = info();
  EXPECT_EQ(kind(two), fido(3));
  EXPECT_NE(context(two).find(kReader2), std::string::npos) << context(two);
  EXPECT_EQ(kind(code("Mail:bob", 1000)), fido(3));
  EXPECT_EQ(kind(access()), fido(3));
  readers.remove(kReader2);
  monitor_sees();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
}

TEST_F(BackendTest, CardsWithoutTheAppletAreSkippedAndNotSelectedAgain) {
  auto plain = key_with(kSaltB, {});
  plain->intercept = [](oath::ByteView) -> std::optional<oath::Answer> {
    return oath::Answer{{}, 0x6A82};
  };
  readers.add("Some Card Reader 00 00", plain);
  readers.add(kReader, usual_key());
  start();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  EXPECT_EQ(value(code("Mail:bob", 1000)), expected_code(1000, 30));
  EXPECT_EQ(value(access()), false);
  EXPECT_EQ(plain->count("A4"), 1);
  // Only the applet-less card: no key.
  readers.remove(kReader);
  EXPECT_EQ(kind(access()), fido(2));
}

TEST_F(BackendTest, ReaderFilterAndMissingReaders) {
  start(backend::Options{"Nitro", false, 6});
  auto none = access();
  EXPECT_EQ(kind(none), fido(2));
  EXPECT_NE(context(none).find("no smart-card reader"), std::string::npos) << context(none);
  readers.add(kReader, usual_key());
  auto unmatched = info();
  EXPECT_EQ(kind(unmatched), fido(2));
  EXPECT_NE(context(unmatched).find("\"Nitro\""), std::string::npos) << context(unmatched);
  EXPECT_NE(context(unmatched).find(kReader), std::string::npos) << context(unmatched);
  readers.add("Nitrokey 3", key_with(kSaltB, {{"nitro"}}));
  EXPECT_EQ(names(info()), "nitro@30");
}

// ---- Code ----------------------------------------------------------------------

TEST_F(BackendTest, CodesAreTheTruncatedTotpOfThePeriodFromTheName) {
  readers.add(kReader, usual_key());
  start();
  for (uint64_t time : {uint64_t{59}, uint64_t{1111111109}, uint64_t{1700000000}}) {
    SCOPED_TRACE(time);
    EXPECT_EQ(value(code("Mail:bob", time)), expected_code(time, 30));
    EXPECT_EQ(value(code("Bank:carol", time)), expected_code(time, 60, 8));
  }
  auto unknown = code("60/Bank:carol", 1000);
  EXPECT_EQ(kind(unknown), fido(16));
  EXPECT_EQ(kind(code("counter", 1000)), fido(16));
}

TEST_F(BackendTest, CodeRequestsReadTheListAgain) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  monitor_sees();
  key->credentials.push_back({"later"});
  EXPECT_EQ(value(code("later", 1000)), expected_code(1000, 30));
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60 later@30");
}

TEST_F(BackendTest, CodeWithPasswordUsesThePinOfTheRequest) {
  auto key = usual_key();
  key->set_password("1234");
  readers.add(kReader, key);
  start();
  EXPECT_EQ(kind(code("Mail:bob", 1000, "")), fido(15));
  EXPECT_EQ(kind(code("Mail:bob", 1000, "4321")), fido(4));
  EXPECT_EQ(value(code("Mail:bob", 1000, "1234")), expected_code(1000, 30));
  // A remembered key never stands in for the request's PIN.
  EXPECT_EQ(value(verify("1234")), true);
  EXPECT_EQ(kind(code("Mail:bob", 1000, "")), fido(15));
  EXPECT_EQ(kind(code("Mail:bob", 1000, "0000")), fido(4));
}

TEST_F(BackendTest, TouchTimeoutIsToldApartFromALockedKey) {
  auto key = key_with(kSaltA, {{"Mail:bob"}, {"Touch:me", true, true}});
  readers.add(kReader, key);
  start();
  key->touch = [] { return false; };
  EXPECT_EQ(kind(code("Touch:me", 1000)), fido(7));
  key->touch = [] { return true; };
  EXPECT_EQ(value(code("Touch:me", 1000)), expected_code(1000, 30));
  // 6982 for a credential without touch: the key wants validating.
  key->intercept = [](oath::ByteView apdu) -> std::optional<oath::Answer> {
    if (apdu[1] == oath::ins::calculate)
      return oath::Answer{{}, 0x6982};
    return std::nullopt;
  };
  const auto locked = code("Mail:bob", 1000);
  EXPECT_EQ(kind(locked), fido(4));
  EXPECT_EQ(kind(code("Touch:me", 1000)), fido(7));
}

// ---- PIN -----------------------------------------------------------------------

TEST_F(BackendTest, VerifyAnswersFalseForAWrongPinAndRemembersTheRightKey) {
  auto key = usual_key();
  key->set_password("1234");
  readers.add(kReader, key);
  start();
  EXPECT_EQ(value(access()), true);
  // Without a verified PIN the list cannot be read.
  const auto locked = info();
  EXPECT_EQ(kind(locked), fido(17));
  EXPECT_EQ(value(verify("")), false);
  EXPECT_EQ(value(verify("12345")), false);
  EXPECT_EQ(value(verify("1234")), true);
  monitor_sees();
  const int validations = key->count("A3");
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  // Read right after the validation: answered from the cache.
  EXPECT_EQ(key->count("A3"), validations);
  // Re-inserted: the remembered key opens it again.
  readers.remove(kReader);
  readers.insert(kReader, key);
  monitor_sees();
  key->credentials.push_back({"added"});
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60 added@30");
  EXPECT_EQ(key->count("A3"), validations + 1);
}

TEST_F(BackendTest, RememberedKeyIsDroppedOnAFailedValidationAndForAnotherSalt) {
  auto key = usual_key();
  key->set_password("1234");
  readers.add(kReader, key);
  start();
  EXPECT_EQ(value(verify("1234")), true);
  EXPECT_EQ(value(verify("wrong")), false);
  readers.remove(kReader);
  readers.insert(kReader, key);
  monitor_sees();
  key->credentials.push_back({"added"});
  // Same key, no key to open it: the last list stands.
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60");
  const int validations = key->count("A3");

  EXPECT_EQ(value(verify("1234")), true);
  auto other = key_with(kSaltB, {{"other"}});
  readers.remove(kReader);
  readers.insert(kReader, other);
  EXPECT_EQ(value(access()), false);
  monitor_sees();
  EXPECT_EQ(names(info()), "other@30");
  // The first key again: its key was dropped when the other salt appeared.
  readers.remove(kReader);
  readers.insert(kReader, key);
  monitor_sees();
  EXPECT_EQ(kind(info()), fido(17));
  EXPECT_EQ(key->count("A3"), validations + 1);
}

TEST_F(BackendTest, AKeyWhoseAnswerDoesNotCheckOutIsAnError) {
  auto key = usual_key();
  key->set_password("1234");
  key->fake_validation = true;
  readers.add(kReader, key);
  start();
  const auto verified = verify("1234");
  EXPECT_EQ(kind(verified), fido(19));
  EXPECT_NE(context(verified).find("not be genuine"), std::string::npos) << context(verified);
  EXPECT_EQ(kind(code("Mail:bob", 1000, "1234")), fido(19));
  // Nothing was remembered: Info cannot list.
  EXPECT_EQ(kind(info()), fido(17));
}

TEST_F(BackendTest, VerifyWithoutPasswordAcceptsOnlyTheEmptyPin) {
  readers.add(kReader, usual_key());
  start();
  EXPECT_EQ(value(verify("")), true);
  EXPECT_EQ(kind(verify("1234")), fido(13));
}

TEST_F(BackendTest, AccessReadsTheKeyEveryTime) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  EXPECT_EQ(value(access()), false);
  key->set_password("elsewhere");
  EXPECT_EQ(value(access()), true);
  EXPECT_EQ(key->count("A4"), 2);
}

TEST_F(BackendTest, ChangeSetsAndChangesThePasswordAndTheRememberedKeyFollows) {
  auto key = usual_key();
  readers.add(kReader, key);
  start(backend::Options{"", true, 6});
  EXPECT_TRUE(service->policy());
  EXPECT_EQ(kind(change("", "")), fido(11));
  EXPECT_EQ(key->log.size(), 0u);
  EXPECT_EQ(kind(change("123456", "")), "ok");
  EXPECT_TRUE(key->opens_with("123456"));
  EXPECT_EQ(value(access()), true);
  EXPECT_EQ(value(verify("123456")), true);
  EXPECT_EQ(kind(change("654321", "000000")), fido(4));
  EXPECT_TRUE(key->opens_with("123456"));
  EXPECT_EQ(kind(change("654321", "123456")), "ok");
  EXPECT_TRUE(key->opens_with("654321"));
  // The new key lists after re-insertion, without a Verify.
  readers.remove(kReader);
  readers.insert(kReader, key);
  monitor_sees();
  key->credentials.push_back({"added"});
  EXPECT_EQ(names(info()), "Mail:bob@30 Bank:carol@60 added@30");
  EXPECT_EQ(value(verify("654321")), true);
  EXPECT_EQ(value(verify("123456")), false);
}

TEST_F(BackendTest, PolicyExpiryHardwareAccessAndCompliance) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  EXPECT_FALSE(service->policy());
  EXPECT_FALSE(service->expired());
  EXPECT_TRUE(service->hardware_access());
  key->set_password("1234");
  EXPECT_FALSE(service->policy());  // not seen yet
  EXPECT_EQ(value(access()), true);
  EXPECT_TRUE(service->policy());

  EXPECT_TRUE(service->compliance("123456").is_compliant);
  EXPECT_TRUE(service->compliance("p\xC3\xA4sswd").is_compliant);
  const auto short_one = service->compliance("12345");
  EXPECT_FALSE(short_one.is_compliant);
  EXPECT_EQ(short_one.reason, "The PIN must have at least 6 characters; this one has 5.");
  // Characters, not bytes.
  EXPECT_FALSE(service->compliance("\xC3\xA4\xC3\xA4\xC3\xA4").is_compliant);
  EXPECT_FALSE(service->compliance("").is_compliant);
  EXPECT_EQ(backend::check_pin("", 1).reason,
            "The PIN must have at least 1 character; this one has 0.");
  EXPECT_TRUE(backend::check_pin("", 0).is_compliant);
}

// ---- Middleware ----------------------------------------------------------------

TEST_F(BackendTest, ResetByAnotherProgramMeansReconnectAndSelectAgain) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  readers.fail_transmits(1, oath::Failure{oath::Fault::reset, oath::Step::none,
                                          "SCARD_W_RESET_CARD"});
  EXPECT_EQ(value(code("Mail:bob", 1000)), expected_code(1000, 30));
  EXPECT_EQ(readers.connects(), 2);
  // A card that is reset on every try gives up.
  readers.fail_transmits(100, oath::Failure{oath::Fault::reset, oath::Step::none,
                                            "SCARD_W_RESET_CARD"});
  EXPECT_EQ(kind(access()), pcsc(4));
  readers.fail_transmits(0, {});
  EXPECT_EQ(value(access()), false);
}

TEST_F(BackendTest, PulledKeyAndMissingPcscdAndAKeyHeldByAnotherProgram) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  readers.fail_transmits(1, oath::Failure{oath::Fault::removed, oath::Step::none,
                                          "SCARD_W_REMOVED_CARD"});
  EXPECT_EQ(kind(code("Mail:bob", 1000)), fido(2));
  EXPECT_EQ(value(code("Mail:bob", 1000)), expected_code(1000, 30));

  readers.set_service(false);
  const auto gone = access();
  EXPECT_EQ(kind(gone), pcsc(3));
#ifdef _WIN32
  EXPECT_NE(context(gone).find("sc start SCardSvr"), std::string::npos) << context(gone);
#else
  EXPECT_NE(context(gone).find("systemctl start pcscd"), std::string::npos) << context(gone);
#endif
  readers.set_service(true);
  EXPECT_EQ(value(access()), false);

  readers.hold_exclusively(kReader, true);
  const auto busy = code("Mail:bob", 1000);
  EXPECT_EQ(kind(busy), pcsc(4));
  EXPECT_NE(context(busy).find(kReader), std::string::npos) << context(busy);
  EXPECT_NE(context(busy).find("exclusively"), std::string::npos) << context(busy);
}

TEST_F(BackendTest, BadAnswersFromTheKeyAreErrorsOfTheirStep) {
  auto key = usual_key();
  readers.add(kReader, key);
  start();
  const struct {
    uint8_t ins;
    const char* answer;  // data + status word
    const char* request;
    std::string error;
  } rows[] = {
    {oath::ins::select, "79 03 05 90 00", "access", fido(5)},
    {oath::ins::select, "6F 00", "access", fido(5)},
    {oath::ins::list, "72 09 21 61 90 00", "info", fido(17)},
    {oath::ins::list, "6A 80", "info", fido(17)},
    {oath::ins::list, "72 02 21 61 61 FF", "info", fido(17)},
    {oath::ins::calculate, "76 03 06 01 02 90 00", "code", fido(16)},
    {oath::ins::calculate, "6A 80", "code", fido(16)},
    {oath::ins::calculate, "76 05 0A 00 00 00 01 90 00", "code", fido(16)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.request) + " " + row.answer);
    key->intercept = [&row](oath::ByteView apdu) -> std::optional<oath::Answer> {
      if (apdu[1] == row.ins && (row.ins != oath::ins::select || apdu[2] == 0x04))
        return ScriptedTransport::answer_of(unhex(row.answer));
      return std::nullopt;
    };
    const std::string request = row.request;
    const std::string got = request == "access" ? kind(access())
                            : request == "info" ? kind(info())
                                                : kind(code("Mail:bob", 1000));
    EXPECT_EQ(got, row.error);
  }
}

// ---- The card thread -----------------------------------------------------------

TEST_F(BackendTest, CardRequestsAreAnsweredInOrderAndNoCardRequestsNeverWait) {
  auto key = key_with(kSaltA, {{"Mail:bob"}, {"Touch:me", true, true}});
  readers.add(kReader, key);
  start();
  EXPECT_EQ(names(info()), "Mail:bob@30 Touch:me@30");
  monitor_sees();
  Latch touch;
  key->touch = [&touch] {
    touch.wait();
    return true;
  };
  Await<std::string> touched;
  service->code("Touch:me", 1000, oath::SecretText{}, touched.reply());
  ASSERT_TRUE(touch.reached());
  // Card requests queue behind the touch wait, in order.
  std::vector<std::string> order;
  std::mutex order_mtx;
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard{order_mtx};
    order.push_back(what);
  };
  Await<bool> first;
  Await<std::string> second;
  Await<bool> third;
  service->access([&, reply = first.reply()](backend::Outcome<bool> o) { note("access"); reply(o); });
  service->code("Mail:bob", 1000, oath::SecretText{},
                [&, reply = second.reply()](backend::Outcome<std::string> o) {
                  note("code");
                  reply(o);
                });
  service->verify(oath::SecretText{}, [&, reply = third.reply()](backend::Outcome<bool> o) {
    note("verify");
    reply(o);
  });
  // Requests that need no card are answered at once, on this thread.
  Await<std::vector<backend::Token>> listed;
  service->info(listed.reply());
  EXPECT_TRUE(listed.answered());
  EXPECT_EQ(names(listed.get()), "Mail:bob@30 Touch:me@30");
  EXPECT_FALSE(service->policy());
  EXPECT_FALSE(service->expired());
  EXPECT_TRUE(service->hardware_access());
  EXPECT_FALSE(service->compliance("1").is_compliant);
  EXPECT_FALSE(touched.answered());
  EXPECT_FALSE(first.answered());
  EXPECT_EQ(thread->pending(), 4u);
  touch.open();
  EXPECT_EQ(value(touched.get()), expected_code(1000, 30));
  EXPECT_EQ(value(first.get()), false);
  EXPECT_EQ(value(second.get()), expected_code(1000, 30));
  EXPECT_EQ(value(third.get()), true);
  EXPECT_EQ(order, (std::vector<std::string>{"access", "code", "verify"}));
}

TEST_F(BackendTest, QueuedRequestsGetAnErrorWhenTheServiceStops) {
  auto key = key_with(kSaltA, {{"Touch:me", true, true}});
  readers.add(kReader, key);
  start();
  Latch touch;
  key->touch = [&touch] {
    touch.wait();
    return true;
  };
  Await<std::string> touched;
  Await<bool> queued;
  service->code("Touch:me", 1000, oath::SecretText{}, touched.reply());
  ASSERT_TRUE(touch.reached());
  service->access(queued.reply());
  thread->stop();
  EXPECT_EQ(kind(queued.get()), fido(5));
  Await<bool> late;
  service->access(late.reply());
  EXPECT_EQ(kind(late.get()), fido(5));
  EXPECT_FALSE(touched.answered());
  touch.open();
  EXPECT_EQ(kind(touched.get()), "ok");
}

} // namespace
