// The polling actor against the scriptable service, with a recorder as its
// page, a settable clock and ticks that the tests send themselves.

#include "caf/all.hpp"

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "log_capture.h"
#include "otp/otp_widget_actor_detach.h"
#include "otp_test_support.h"
#include "wipe_log.h"

using namespace otp_testing;
using fake::request;
using spdlog::level::err;
using spdlog::level::info;
using testing_support::LogCapture;
using testing_support::WipeLog;
using waits = std::vector<std::chrono::seconds>;

namespace {

const std::string touch = "Please touch the key...";

class PollingActorTest : public ::testing::Test {
protected:
  CoutCapture out; // destroyed last: the actor has ended by then
  LogCapture log;
  FakeUnixClock clock{3000};
  TickPacer pacer{TickPacer::manual};
  fake::FidoService service{*app_system};
  PageRecorder page;
  caf::actor poller;
  bool poller_may_hang = false;

  void TearDown() override {
    caf::anon_send_exit(poller, caf::exit_reason::user_shutdown);
    if (!poller_may_hang) {
      EXPECT_TRUE(wait_exit(poller));
    }
    EXPECT_EQ(page.unexpected(), std::vector<std::string>{});
  }

  // Spawns the actor as a page would; returns what its first tick sent.
  std::vector<page_event> start() {
    poller = app_system->spawn<OtpWidgetActorDetach, caf::detached>(page.handle(),
                                                                    service.handle());
    EXPECT_TRUE(pacer.wait_for_count(1)) << "the first tick runs by itself";
    page.sync();
    return page.take();
  }

  // Runs one more tick; returns what the page got from it (at least
  // `at_least` events: some are sent after the next tick is scheduled).
  std::vector<page_event> tick(size_t at_least = 0) {
    auto n = pacer.count();
    caf::anon_send(poller, ::tick_atom{});
    EXPECT_TRUE(pacer.wait_for_count(n + 1)) << "the tick ends by scheduling the next";
    page.wait_for_events(at_least);
    page.sync();
    return page.take();
  }

  void select(const std::string& name, const std::string& pin = "") {
    caf::anon_send(poller, ::name_atom{}, name, pin);
  }

  std::string text_of(const caf::error& e) { return error_text(*app_system, e); }
};

} // namespace

TEST_F(PollingActorTest, WithoutSelectionReadsTheListEveryTickAndAsksForNoCode) {
  std::vector<OtpTokenInfo> tokens{{"A", 30}, {"B", 60}};
  service.set_tokens(tokens);
  EXPECT_EQ(start(), std::vector<page_event>{list(tokens)}) << "the first list goes out once";
  EXPECT_EQ(tick(), std::vector<page_event>{});
  EXPECT_EQ(tick(), std::vector<page_event>{});
  EXPECT_EQ(service.count(request::get_info), 3);
  EXPECT_EQ(service.count(request::get_otp), 0);
  EXPECT_EQ(service.count(request::check_hwaccess), 1) << "checked once, at construction";
  EXPECT_EQ(pacer.waits(), (waits{1s, 1s, 1s})) << "one successor per tick, 1 s each";
  EXPECT_EQ(log.at(info), (std::vector<std::string>{
                            "[OtpWidgetActorDetach] hw access support=true", "info changed."}));
}

TEST_F(PollingActorTest, AnEmptyListIsNotForwardedUntilTokensAppear) {
  EXPECT_EQ(start(), std::vector<page_event>{});
  std::vector<OtpTokenInfo> tokens{{"A", 30}};
  service.set_tokens(tokens);
  EXPECT_EQ(tick(), std::vector<page_event>{list(tokens)});
}

TEST_F(PollingActorTest, SelectingATokenClearsPromptsAndDeliversTheCodeInOrder) {
  service.set_tokens({{"A", 30}, {"B", 30}});
  service.set_hw_access(false);
  start();
  clock.set(3017);
  select("B", "1234");
  EXPECT_EQ(tick(), (std::vector<page_event>{code("", 0), msg(touch), msg(""),
                                             code("B:3017", 100)}));
  auto asked = service.otp_requests();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].name, "B");
  EXPECT_EQ(asked[0].time, 3017u) << "the time of the tick, in seconds";
  EXPECT_EQ(asked[0].pin, "1234");
  EXPECT_FALSE(asked[0].hw_access) << "the answer of the construction-time check";
  EXPECT_TRUE(log.contains(info, "[OtpWidgetActorDetach] hw access support=false"));
  EXPECT_TRUE(log.contains(info, "[OtpWidgetActorDetach] period=30"));
  EXPECT_TRUE(log.contains(info, "token_unchanged=false, last_cal_step=0, step=100"));
  EXPECT_TRUE(log.contains(info, "!! Need calculate OTP !!"));
  EXPECT_EQ(out.count("try to loop"), 1u);
  EXPECT_EQ(pacer.waits().back(), 1s);
}

TEST_F(PollingActorTest, ASelectionMissingFromTheListOnlyClearsTheDisplay) {
  service.set_tokens({{"A", 30}});
  start();
  select("X");
  EXPECT_EQ(tick(), std::vector<page_event>{code("", 0)});
  EXPECT_EQ(service.count(request::get_otp), 0);
  EXPECT_EQ(pacer.waits().back(), 1s);
}

TEST_F(PollingActorTest, AsksAgainOnlyWhenTheTimeStepMovesOn) {
  service.set_tokens({{"A", 30}});
  start();
  select("A");
  tick();
  ASSERT_EQ(service.count(request::get_otp), 1);

  clock.set(3029);
  EXPECT_EQ(tick(), std::vector<page_event>{}) << "same step: nothing to send";
  EXPECT_EQ(service.count(request::get_otp), 1);
  EXPECT_EQ(out.count("still step 100"), 1u);
  EXPECT_TRUE(log.contains(info, "token_unchanged=true, last_cal_step=100, step=100"));

  clock.set(3030);
  EXPECT_EQ(tick(), (std::vector<page_event>{msg(touch), msg(""), code("A:3030", 101)}));
  clock.set(3031);
  EXPECT_EQ(tick(), std::vector<page_event>{});
  EXPECT_EQ(service.count(request::get_otp), 2) << "exactly one request for the new step";
  EXPECT_EQ(pacer.waits(), (waits{1s, 1s, 1s, 1s, 1s}));
}

TEST_F(PollingActorTest, SwitchingTokensWithinStepZeroStillAsks) {
  // With today's time and the longest period every step is 0, the value a
  // selection resets the step memory to.
  const uint32_t longest = 4294967295u;
  clock.set(1700000000);
  service.set_tokens({{"A", longest}, {"B", longest}});
  start();
  select("A");
  EXPECT_EQ(tick(), (std::vector<page_event>{code("", 0), msg(touch), msg(""),
                                             code("A:1700000000", 0)}));
  select("B");
  EXPECT_EQ(tick(), (std::vector<page_event>{code("", 0), msg(touch), msg(""),
                                             code("B:1700000000", 0)}));
  EXPECT_EQ(tick(), std::vector<page_event>{});
  EXPECT_EQ(service.count(request::get_otp), 2);
}

TEST_F(PollingActorTest, ReselectingTheSameTokenForcesOneNewCode) {
  service.set_tokens({{"A", 30}});
  start();
  select("A", "old");
  tick();
  select("A", "new");
  EXPECT_EQ(tick(), (std::vector<page_event>{msg(touch), msg(""), code("A:3000", 100)}))
    << "the display is not cleared: the token is the one of the last code";
  EXPECT_EQ(tick(), std::vector<page_event>{});
  auto asked = service.otp_requests();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1].pin, "new");
}

TEST_F(PollingActorTest, PeriodZeroAsksOnEveryTickWithStepZero) {
  service.set_tokens({{"Z", 0}});
  start();
  select("Z");
  EXPECT_EQ(tick(), (std::vector<page_event>{code("", 0), msg(touch), msg(""),
                                             code("Z:3000", 0)}));
  EXPECT_EQ(tick(), (std::vector<page_event>{msg(touch), msg(""), code("Z:3000", 0)}));
  clock.set(3001);
  EXPECT_EQ(tick(), (std::vector<page_event>{msg(touch), msg(""), code("Z:3001", 0)}));
  EXPECT_EQ(service.count(request::get_otp), 3);
  EXPECT_FALSE(log.mentions("token_unchanged=")) << "the step test is skipped";
}

TEST_F(PollingActorTest, ForwardsTheListOnlyWhenItsSizeOrANameChanges) {
  service.set_tokens({{"A", 30}, {"B", 30}});
  start();
  service.set_tokens({{"A", 60}, {"B", 45}});
  EXPECT_EQ(tick(), std::vector<page_event>{}) << "periods alone are not a change";

  std::vector<OtpTokenInfo> renamed{{"A", 30}, {"C", 30}};
  service.set_tokens(renamed);
  EXPECT_EQ(tick(), std::vector<page_event>{list(renamed)});

  std::vector<OtpTokenInfo> longer{{"A", 30}, {"C", 30}, {"D", 30}};
  service.set_tokens(longer);
  EXPECT_EQ(tick(), std::vector<page_event>{list(longer)});
  EXPECT_EQ(tick(), std::vector<page_event>{});
}

TEST_F(PollingActorTest, ComparesListsBySizeAndNamesOnly) {
  using Actor = OtpWidgetActorDetach;
  std::vector<OtpTokenInfo> ab{{"A", 30}, {"B", 30}};
  EXPECT_FALSE(Actor::are_infos_changed({}, {}));
  EXPECT_FALSE(Actor::are_infos_changed(ab, {{"A", 1}, {"B", 0}}));
  EXPECT_TRUE(Actor::are_infos_changed(ab, {{"A", 30}}));
  EXPECT_TRUE(Actor::are_infos_changed({}, ab));
  EXPECT_TRUE(Actor::are_infos_changed(ab, {{"A", 30}, {"b", 30}}));
  EXPECT_TRUE(Actor::are_infos_changed(ab, {{"B", 30}, {"A", 30}}));
  EXPECT_TRUE(Actor::are_infos_changed({{std::string("A\0x", 3), 30}}, {{"A", 30}}));
}

TEST_F(PollingActorTest, KeyTimeOutClearsThePromptAndRetriesAfterThreeSeconds) {
  service.set_tokens({{"A", 30}});
  start();
  select("A");
  service.fail(request::get_otp, make_error(fido_error::key_timed_out));
  EXPECT_EQ(tick(3), (std::vector<page_event>{code("", 0), msg(touch), msg("")}));
  EXPECT_EQ(pacer.waits().back(), 3s);
  EXPECT_EQ(log.at(err), std::vector<std::string>{"Failed to get otp, error=FIDO key timed out."});

  EXPECT_EQ(tick(), (std::vector<page_event>{code("", 0), msg(touch), msg(""),
                                             code("A:3000", 100)}))
    << "the next tick asks again, in the same step";
  EXPECT_EQ(pacer.waits().back(), 1s);
}

TEST_F(PollingActorTest, OtherCodeErrorsLeaveTheirTextAndRetryAfterThreeSeconds) {
  service.set_tokens({{"A", 30}});
  start();
  select("A");
  tick();
  clock.set(3030);

  auto failed = make_error(fido_error::get_otp_failed);
  service.fail(request::get_otp, failed);
  EXPECT_EQ(tick(2), (std::vector<page_event>{msg(touch), msg(text_of(failed))}));
  EXPECT_EQ(pacer.waits().back(), 3s);
  EXPECT_TRUE(log.contains(err, "Failed to get otp, error=" + text_of(failed)));

  // Code 7 of another category is not a key time-out.
  auto not_fido = caf::error(7, error_category::pcsc);
  service.fail(request::get_otp, not_fido);
  EXPECT_EQ(tick(2), (std::vector<page_event>{msg(touch), msg(text_of(not_fido))}));
  EXPECT_EQ(pacer.waits().back(), 3s);

  EXPECT_EQ(tick(), (std::vector<page_event>{msg(touch), msg(""), code("A:3030", 101)}));
  EXPECT_EQ(service.count(request::get_otp), 4);
}

TEST_F(PollingActorTest, ListFailureSendsTheTextThenStopAndTheSameListIsNotResent) {
  std::vector<OtpTokenInfo> tokens{{"A", 30}};
  service.set_tokens(tokens);
  start();
  select("A");
  tick();
  auto failed = make_error(fido_error::list_otp_failed);
  service.fail(request::get_info, failed);
  EXPECT_EQ(tick(2), (std::vector<page_event>{msg(text_of(failed)), stop()}));
  EXPECT_EQ(pacer.waits().back(), 3s);
  EXPECT_TRUE(log.contains(err, "Failed to get otp info, error=" + text_of(failed)));
  EXPECT_EQ(service.count(request::get_otp), 1) << "no code without a list";

  EXPECT_EQ(tick(), std::vector<page_event>{}) << "the service is back with the same list";
  EXPECT_EQ(pacer.waits().back(), 1s);
}

TEST_F(PollingActorTest, FailedFirstListIsForwardedOnceTheServiceRecovers) {
  std::vector<OtpTokenInfo> tokens{{"A", 30}};
  service.set_tokens(tokens);
  service.fail(request::get_info, make_error(fido_error::open_device_failed));
  poller = app_system->spawn<OtpWidgetActorDetach, caf::detached>(page.handle(),
                                                                  service.handle());
  ASSERT_TRUE(page.wait_for_events(2));
  EXPECT_EQ(pacer.waits(), waits{3s});
  EXPECT_EQ(page.take(),
            (std::vector<page_event>{msg(text_of(make_error(fido_error::open_device_failed))),
                                     stop()}));
  EXPECT_EQ(tick(), std::vector<page_event>{list(tokens)});
}

TEST_F(PollingActorTest, FailedHardwareAccessCheckIsReportedAndTheActorRunsOn) {
  service.set_tokens({{"A", 30}});
  service.fail(request::check_hwaccess, make_error(fido_error::open_device_failed));
  auto first = start();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front(), msg("Failed to check if the device has hardware access support."));
  EXPECT_FALSE(log.mentions("hw access support")) << "nothing is logged";
  select("A");
  tick();
  auto asked = service.otp_requests();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_FALSE(asked[0].hw_access);
}

TEST_F(PollingActorTest, StepArithmeticHoldsAtTheLimits) {
  const uint32_t longest = 4294967295u;
  const uint64_t late = (uint64_t{1} << 63) + 123456789;
  service.set_tokens({{"long", longest}, {"short", 1}});
  service.set_code([](const fake::otp_request&) { return std::string("123456"); });
  clock.set(late);
  start();
  select("long");
  auto events = tick();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), code("123456", late / longest));
  EXPECT_EQ(service.otp_requests().back().time, late) << "the time is sent unchanged";

  select("short");
  events = tick();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), code("123456", late));

  clock.set(UINT64_MAX);
  events = tick();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), code("123456", UINT64_MAX));
}

TEST_F(PollingActorTest, AnExitWaitsForTheRequestInProgress) {
  poller_may_hang = true;
  // Kept to the end of the process: the request it holds is never answered.
  auto key = new fake::FidoService{*app_system};
  key->set_tokens({{"A", 30}});
  key->hang(request::get_otp);
  poller = app_system->spawn<OtpWidgetActorDetach, caf::detached>(page.handle(), key->handle());
  ASSERT_TRUE(pacer.wait_for_count(1));
  select("A");
  caf::anon_send(poller, ::tick_atom{});
  ASSERT_TRUE(wait_until([&] { return key->count(request::get_otp) == 1; }));
  caf::anon_send_exit(poller, caf::exit_reason::user_shutdown);
  EXPECT_FALSE(wait_exit(poller, 300ms)) << "the request has no time limit";
}

// Production pacing, observed on the clock: a failed list read waits 3 s,
// a normal tick 1 s.
TEST(PollingActorTiming, WaitsThreeSecondsAfterAFailureAndOneSecondOtherwise) {
  fake::FidoService service{*app_system};
  PageRecorder page;
  service.set_tokens({{"A", 30}});
  service.fail(request::get_info, make_error(fido_error::list_otp_failed));
  auto started = std::chrono::steady_clock::now();
  auto poller = app_system->spawn<OtpWidgetActorDetach, caf::detached>(page.handle(),
                                                                       service.handle());
  auto reads_at = [&](int n) {
    while (service.count(request::get_info) < n &&
           std::chrono::steady_clock::now() - started < 10s)
      std::this_thread::sleep_for(5ms);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  double first = reads_at(1);
  double second = reads_at(2);
  double third = reads_at(3);
  caf::anon_send_exit(poller, caf::exit_reason::user_shutdown);
  EXPECT_TRUE(wait_exit(poller));
  EXPECT_LT(first, 0.5);
  EXPECT_NEAR(second - first, 3.0, 0.3);
  EXPECT_NEAR(third - second, 1.0, 0.3);
}

TEST_F(PollingActorTest, ItsPinIsWipedWhenReplacedAndWhenTheActorEnds) {
  WipeLog wipes;
  service.set_tokens({{"A", 30}});
  start();
  select("A", "1111");
  tick(1);
  EXPECT_EQ(wipes.count("1111"), 1) << "the message's copy, once taken";
  select("A", "2222");
  tick(1);
  EXPECT_EQ(wipes.count("1111"), 2) << "the PIN it replaced";
  EXPECT_EQ(wipes.count("2222"), 1);
  caf::anon_send_exit(poller, caf::exit_reason::user_shutdown);
  EXPECT_TRUE(wipes.wait_for_count("2222", 2)) << "the PIN it held when it ended";
}
