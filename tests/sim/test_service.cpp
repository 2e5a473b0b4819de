// The simulated service as the application meets it: the real executable,
// reached over TCP through CAF's network layer.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include <gtest/gtest.h>

#include "child_process.h"
#include "sim_process.h"
#include "fido_otp_actor.h"
#include "request.h"
#include "sim/key_config.h"
#include "sim/sim_service.h"
#include "crypto/totp.h"
#include "vocabulary.h"

using namespace std::chrono_literals;
using testing_support::ChildProcess;

namespace {

caf::actor_system& client_system() {
  // Built once and never destroyed, like the application's system.
  static caf::actor_system* sys = [] {
    auto cfg = new caf::actor_system_config;
    cfg->load<caf::io::middleman>();
    init_global_meta_objects(*cfg);
    return new caf::actor_system{*cfg};
  }();
  return *sys;
}

// One fido-otp-sim process on a free port and the client's handles to it.
class Sim {
public:
  // `options` go to fido-otp-sim ("--time", "59" for tests that ask for
  // the codes of fixed times).
  explicit Sim(const std::string& config_json = "", const std::vector<std::string>& options = {})
    : proc_(FIDO_OTP_SIM_PATH, config_json, {}, 0, options) {
    auto& sys = client_system();
    auto remote = sys.middleman().remote_actor("127.0.0.1", proc_.port());
    if (!remote)
      throw std::runtime_error("remote_actor failed: " + sys.render(remote.error()));
    service = *remote;
  }

  fido_otp_actor fido() {
    auto answer = request_blocking<caf::actor>(client_system(), service, ::get_atom{},
                                               ::actor_fido_otp{});
    if (!answer)
      throw std::runtime_error("lookup failed: " + answer.error_text());
    return caf::actor_cast<fido_otp_actor>(*answer);
  }

  template <class R, class... Ts>
  reply<R> ask(Ts... xs) {
    if (!fido_)
      fido_ = fido();
    return request_blocking<R>(client_system(), fido_, xs...);
  }

  std::string output() const { return proc_.output(); }

  caf::actor service;

private:
  testing_support::SimProcess proc_;
  fido_otp_actor fido_;
};

} // namespace

TEST(SimService, DefaultKeyHasNoPinAndListsItsTokensInOrder) {
  Sim sim;
  auto has = sim.ask<bool>(::has_atom{}, ::access_atom{});
  ASSERT_TRUE(has);
  EXPECT_FALSE(*has);
  auto policy = sim.ask<bool>(::check_atom{}, ::pin_atom{}, ::policy_atom{});
  ASSERT_TRUE(policy);
  EXPECT_FALSE(*policy);
  auto hw = sim.ask<bool>(::check_atom{}, ::hwaccess_atom{});
  ASSERT_TRUE(hw);
  EXPECT_TRUE(*hw);
  auto infos = sim.ask<std::vector<OtpTokenInfo>>(::get_atom{}, ::info_atom{});
  ASSERT_TRUE(infos);
  auto key = sim::default_key();
  ASSERT_EQ(infos->size(), key.tokens.size());
  for (size_t i = 0; i < key.tokens.size(); ++i) {
    EXPECT_EQ((*infos)[i].name, key.tokens[i].name);
    EXPECT_EQ((*infos)[i].period, key.tokens[i].period);
  }
}

TEST(SimService, CodeIsTheTotpOfTheRequestedTime) {
  Sim sim(R"({"tokens": [
    {"name": "Z", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "period": 30, "digits": 8},
    {"name": "A", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
     "period": 30, "digits": 8, "algorithm": "SHA256"}]})",
          {"--time", "1111111109"});
  // RFC 6238 test vectors, through the whole stack.
  auto code = sim.ask<std::string>(::get_atom{}, ::otp_atom{}, std::string{"Z"},
                                   uint64_t{1111111109}, std::string{}, false);
  ASSERT_TRUE(code) << code.error_text();
  EXPECT_EQ(*code, "07081804");
  auto infos = sim.ask<std::vector<OtpTokenInfo>>(::get_atom{}, ::info_atom{});
  ASSERT_TRUE(infos);
  ASSERT_EQ(infos->size(), 2u);
  EXPECT_EQ((*infos)[0].name, "Z");
  EXPECT_EQ((*infos)[1].name, "A");
  auto unknown = sim.ask<std::string>(::get_atom{}, ::otp_atom{}, std::string{"nope"},
                                      uint64_t{1111111109}, std::string{}, false);
  ASSERT_FALSE(unknown);
  EXPECT_TRUE(is_fido_error(unknown.error(), fido_error::get_otp_failed));
  EXPECT_EQ(unknown.error_text(), "Failed to get OTP.");
}

TEST(SimService, PinVerificationBlocksAfterTooManyWrongTries) {
  Sim sim(R"({"pin": "1234", "policy_enabled": true, "max_pin_tries": 3})");
  auto has = sim.ask<bool>(::has_atom{}, ::access_atom{});
  ASSERT_TRUE(has);
  EXPECT_TRUE(*has);
  auto expired = sim.ask<bool>(::check_atom{}, ::pin_atom{}, ::expire_atom{});
  ASSERT_TRUE(expired);
  EXPECT_FALSE(*expired);
  auto right = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"1234"});
  ASSERT_TRUE(right);
  EXPECT_TRUE(*right);
  for (int i = 0; i < 2; ++i) {
    auto wrong = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"0000"});
    ASSERT_TRUE(wrong);
    EXPECT_FALSE(*wrong);
  }
  auto third = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"0000"});
  ASSERT_FALSE(third);
  EXPECT_TRUE(is_fido_error(third.error(), fido_error::pin_auth_blocked));
  auto blocked = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"1234"});
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error_text(), "FIDO PIN auth has been blocked. Try re-plugging the FIDO key.");
  // No PIN in the service's own output.
  EXPECT_EQ(sim.output().find("1234"), std::string::npos) << sim.output();
  EXPECT_EQ(sim.output().find("0000"), std::string::npos);
}

TEST(SimService, ChangePinChecksTheOldPinAndThePolicy) {
  Sim sim(R"({"pin": "1234", "policy_enabled": true,
              "pin_policy": {"min_length": 6, "max_length": 8, "digits_only": true}})");
  auto verdict = sim.ask<PinPolicyResult>(::check_atom{}, ::compliant_atom{}, ::policy_atom{},
                                          std::string{"12ab56"});
  ASSERT_TRUE(verdict);
  EXPECT_FALSE(verdict->is_compliant);
  EXPECT_FALSE(verdict->reason.empty());
  auto short_pin = sim.ask<PinPolicyResult>(::check_atom{}, ::compliant_atom{}, ::policy_atom{},
                                            std::string{"123"});
  ASSERT_TRUE(short_pin);
  EXPECT_FALSE(short_pin->is_compliant);
  EXPECT_NE(short_pin->reason, verdict->reason);
  auto good = sim.ask<PinPolicyResult>(::check_atom{}, ::compliant_atom{}, ::policy_atom{},
                                       std::string{"135790"});
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->is_compliant);

  auto wrong_old = sim.ask<void>(::change_atom{}, ::access_atom{}, std::string{"135790"},
                                 std::string{"9999"});
  ASSERT_FALSE(wrong_old);
  EXPECT_TRUE(is_fido_error(wrong_old.error(), fido_error::pin_incorrect));
  auto changed = sim.ask<void>(::change_atom{}, ::access_atom{}, std::string{"135790"},
                               std::string{"1234"});
  ASSERT_TRUE(changed) << changed.error_text();
  auto old_pin = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"1234"});
  ASSERT_TRUE(old_pin);
  EXPECT_FALSE(*old_pin);
  auto new_pin = sim.ask<bool>(::verify_atom{}, ::access_atom{}, std::string{"135790"});
  ASSERT_TRUE(new_pin);
  EXPECT_TRUE(*new_pin);
}

TEST(SimService, SettingAFirstPinGivesTheKeyAccessPin) {
  Sim sim;
  auto set = sim.ask<void>(::change_atom{}, ::access_atom{}, std::string{"2468"}, std::string{});
  ASSERT_TRUE(set) << set.error_text();
  auto has = sim.ask<bool>(::has_atom{}, ::access_atom{});
  ASSERT_TRUE(has);
  EXPECT_TRUE(*has);
}

TEST(SimService, InjectedFaultsArriveAsFidoErrors) {
  Sim sim(R"({"faults": {"get_otp": [{"count": 2, "code": 7}],
                         "has_access": [{"hang": true}]}})",
          {"--time", "59"});
  for (int i = 0; i < 2; ++i) {
    auto code = sim.ask<std::string>(::get_atom{}, ::otp_atom{}, std::string{"GitHub"},
                                     uint64_t{59}, std::string{}, false);
    ASSERT_FALSE(code);
    EXPECT_TRUE(is_fido_error(code.error(), fido_error::key_timed_out));
    EXPECT_EQ(code.error_text(), "FIDO key timed out.");
  }
  auto third = sim.ask<std::string>(::get_atom{}, ::otp_atom{}, std::string{"GitHub"},
                                    uint64_t{59}, std::string{}, false);
  EXPECT_TRUE(third) << third.error_text();

  // A hanging request is never answered: wait a bounded time for it.
  caf::scoped_actor self{client_system()};
  auto fido = sim.fido();
  bool answered = false;
  self->request(fido, 1500ms, ::has_atom{}, ::access_atom{})
    .receive([&](bool) { answered = true; },
             [&](caf::error& err) { EXPECT_EQ(err, caf::sec::request_timeout); });
  EXPECT_FALSE(answered);
}

TEST(SimService, RefusedLookupRefusesOnlyTheFirstLookup) {
  Sim sim(R"({"refuse_actor_lookup": true})");
  auto answer = request_blocking<caf::actor>(client_system(), sim.service, ::get_atom{},
                                             ::actor_fido_otp{});
  ASSERT_FALSE(answer);
  EXPECT_FALSE(answer.error_text().empty());
  // A second start of the app gets through, and so do later ones.
  for (int i = 0; i < 2; ++i) {
    auto again = request_blocking<caf::actor>(client_system(), sim.service, ::get_atom{},
                                              ::actor_fido_otp{});
    EXPECT_TRUE(again) << again.error_text();
  }
  // The flaky example key gets past its lookup too, to its first fault.
  std::ifstream example{SIM_EXAMPLES_DIR "/faults.json"};
  ASSERT_TRUE(example) << SIM_EXAMPLES_DIR "/faults.json";
  std::string json{std::istreambuf_iterator<char>(example), {}};
  Sim flaky(json);
  auto first = request_blocking<caf::actor>(client_system(), flaky.service, ::get_atom{},
                                            ::actor_fido_otp{});
  EXPECT_FALSE(first);
  auto infos = flaky.ask<std::vector<OtpTokenInfo>>(::get_atom{}, ::info_atom{});
  ASSERT_FALSE(infos);
  EXPECT_TRUE(is_fido_error(infos.error(), fido_error::list_otp_failed));
  EXPECT_TRUE(flaky.ask<std::vector<OtpTokenInfo>>(::get_atom{}, ::info_atom{}));
}

TEST(SimService, FaultsInjectedAtRunTime) {
  caf::actor_system& sys = client_system();
  auto service = sim::spawn_service(sys, sim::default_key(), std::cout);
  service.key->with([](sim::SimKey& key) { key.inject(sim::Request::get_info, {1, 17, false}); });
  auto failed = request_blocking<std::vector<OtpTokenInfo>>(sys, service.fido, ::get_atom{},
                                                            ::info_atom{});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error_text(), "Failed to list OTP from the device.");
  auto ok = request_blocking<std::vector<OtpTokenInfo>>(sys, service.fido, ::get_atom{},
                                                        ::info_atom{});
  EXPECT_TRUE(ok);
  caf::anon_send_exit(service.fido, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(service.service, caf::exit_reason::user_shutdown);
}

namespace {

// A stream buffer that notices two writers inside it at once. Each write
// that finds itself alone waits a moment for a second one to arrive, so a
// log written from two threads without one lock shows up reliably.
class OverlapDetector : public std::streambuf {
public:
  bool overlapped() const { return overlapped_; }
  std::string text() {
    std::lock_guard<std::mutex> guard{text_mtx_};
    return text_;
  }

protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    enter(true);
    append(std::string(s, static_cast<size_t>(n)));
    leave();
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    enter(false);
    append(std::string(1, traits_type::to_char_type(c)));
    leave();
    return c;
  }
  int sync() override {
    enter(false);
    leave();
    return 0;
  }

private:
  void enter(bool wait_for_company) {
    if (writers_.fetch_add(1) > 0) {
      overlapped_ = true;
      return;
    }
    if (!wait_for_company)
      return;
    auto until = std::chrono::steady_clock::now() + 10ms;
    while (writers_.load() == 1 && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    if (writers_.load() > 1)
      overlapped_ = true;
  }
  void leave() { writers_.fetch_sub(1); }
  void append(const std::string& part) {
    std::lock_guard<std::mutex> guard{text_mtx_};
    text_ += part;
  }

  std::atomic<int> writers_{0};
  std::atomic<bool> overlapped_{false};
  std::mutex text_mtx_;
  std::string text_;
};

size_t count_lines(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = text.find(line + "\n"); at != std::string::npos;
       at = text.find(line + "\n", at + 1))
    if (at == 0 || text[at - 1] == '\n')
      ++count;
  return count;
}

} // namespace

TEST(SimService, RequestLogHasOneWriterAtATime) {
  // Workers enough for the lookup actor and the FIDO OTP actor to run at once.
  static caf::actor_system* sys = [] {
    auto cfg = new caf::actor_system_config;
    init_global_meta_objects(*cfg);
    cfg->set("scheduler.max-threads", 4);
    return new caf::actor_system{*cfg};
  }();
  // Kept for the life of the process: the service's actors end asynchronously.
  auto& detector = *new OverlapDetector;
  auto& log = *new std::ostream{&detector};
  auto service = sim::spawn_service(*sys, sim::default_key(), log);
  constexpr int rounds = 20;
  {
    caf::scoped_actor self{*sys};
    for (int i = 0; i < rounds; ++i) {
      // Both requests are in flight together; each actor logs its own.
      auto lookup = self->request(service.service, caf::infinite, ::get_atom{},
                                  ::actor_fido_otp{});
      auto info = self->request(service.fido, caf::infinite, ::get_atom{}, ::info_atom{});
      lookup.receive([](const caf::actor&) {},
                     [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
      info.receive([](const std::vector<OtpTokenInfo>&) {},
                   [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
    }
  }
  EXPECT_FALSE(detector.overlapped());
  auto text = detector.text();
  EXPECT_EQ(count_lines(text, "lookup: ok"), size_t{rounds}) << text;
  EXPECT_EQ(count_lines(text, "get_info: ok (3 tokens)"), size_t{rounds}) << text;
  caf::anon_send_exit(service.fido, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(service.service, caf::exit_reason::user_shutdown);
}

TEST(SimService, TouchDelayHoldsTheCodeButNotOtherRequests) {
  Sim sim(R"({"touch_delay_ms": 800})", {"--time", "59"});
  auto fido = sim.fido();
  auto start = std::chrono::steady_clock::now();
  auto code = sim.ask<std::string>(::get_atom{}, ::otp_atom{}, std::string{"GitHub"},
                                   uint64_t{59}, std::string{}, false);
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(code) << code.error_text();
  EXPECT_GE(waited, 800ms);
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(sim.ask<bool>(::has_atom{}, ::access_atom{}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(SimExecutable, BadConfigsFailWithAOneLineErrorAndPublishNothing) {
  struct bad {
    std::string json;
    std::string field;
  };
  const bad cases[] = {
    {"{\"tokens\": [", "malformed JSON"},
    {R"({"tokens": [{"name": "x", "secret": "not base32!"}]})", "tokens[0].secret"},
    {R"({"tokens": [{"name": "x", "secret": "GEZDGNBV", "digits": 9}]})", "tokens[0].digits"},
    {R"({"tokens": [{"name": "x", "secret": "GEZDGNBV", "algorithm": "MD5"}]})",
     "tokens[0].algorithm"},
  };
  for (auto& c : cases) {
    ChildProcess proc{{FIDO_OTP_SIM_PATH, "--port", "0", "--config", testing_support::write_temp_config(c.json)}};
    EXPECT_NE(proc.wait(5s), 0) << c.json;
    auto out = proc.output();
    EXPECT_NE(out.find(c.field), std::string::npos) << out;
    EXPECT_EQ(out.find("serving on"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
  ChildProcess missing{{FIDO_OTP_SIM_PATH, "--config", "/nonexistent/key.json"}};
  EXPECT_NE(missing.wait(5s), 0);
  EXPECT_NE(missing.output().find("/nonexistent/key.json"), std::string::npos)
    << missing.output();
}
