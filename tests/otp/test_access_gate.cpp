// The PIN access gate: its decisions and failures against the scriptable
// service, then how the page applies them.

#include "caf/all.hpp"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "log_capture.h"
#include "otp/access_gate.h"
#include "otp/otp_widget.h"
#include "otp_test_support.h"

using namespace otp_testing;
using fake::request;
using testing_support::LogCapture;

namespace {

const std::string set_first = "Please set a PIN first as PIN policy is enabled.";
const std::string expired_text = "PIN has been expired. Please change PIN.";
const std::string incorrect = "PIN is incorrect.";

struct counts {
  int has_access, policy, expire, verify;
  friend bool operator==(const counts& a, const counts& b) {
    return a.has_access == b.has_access && a.policy == b.policy && a.expire == b.expire &&
           a.verify == b.verify;
  }
  friend std::ostream& operator<<(std::ostream& os, const counts& c) {
    return os << "{has_access " << c.has_access << ", policy " << c.policy << ", expire "
              << c.expire << ", verify " << c.verify << "}";
  }
};

counts requests_made(const fake::FidoService& service) {
  return {service.count(request::has_access), service.count(request::check_policy),
          service.count(request::check_expire), service.count(request::verify)};
}

} // namespace

TEST(AccessGate, FollowsTheDecisionTable) {
  struct row {
    bool pin_set, policy, expired, pin_correct;
    bool granted;
    std::optional<std::string> message;
    counts made;
    std::vector<std::string> info_log;
  };
  const std::vector<row> table{
    {false, false, false, false, true, std::nullopt, {1, 1, 0, 0}, {}},
    {false, true, false, false, false, set_first, {1, 1, 0, 0},
     {"[OtpWidget::get_access] PIN policy enabled but PIN is empty."}},
    {true, false, true, false, false, expired_text, {1, 1, 1, 0}, {"PIN expired"}},
    {true, true, true, true, false, expired_text, {1, 1, 1, 0}, {"PIN expired"}},
    {true, false, false, true, true, std::nullopt, {1, 1, 1, 1}, {}},
    {true, true, false, true, true, std::nullopt, {1, 1, 1, 1}, {}},
    {true, false, false, false, false, incorrect, {1, 1, 1, 1}, {}},
    {true, true, false, false, false, incorrect, {1, 1, 1, 1}, {}},
  };
  for (auto& r : table) {
    SCOPED_TRACE(::testing::Message() << "PIN set " << r.pin_set << ", policy " << r.policy
                                      << ", expired " << r.expired << ", correct "
                                      << r.pin_correct);
    fake::FidoService service{*app_system};
    service.set_has_access(r.pin_set);
    service.set_policy_enabled(r.policy);
    service.set_expired(r.expired);
    service.set_pin("1357");
    LogCapture log;
    auto verdict = check_access(*app_system, service.handle(), r.pin_correct ? "1357" : "9999");
    EXPECT_EQ(verdict.granted, r.granted);
    EXPECT_EQ(verdict.message, r.message);
    EXPECT_EQ(requests_made(service), r.made);
    EXPECT_EQ(log.at(spdlog::level::info), r.info_log);
    auto errors = log.at(spdlog::level::err);
    if (r.message == incorrect)
      EXPECT_EQ(errors, std::vector<std::string>{"[OtpWidget::get_access] PIN is incorrect"});
    else
      EXPECT_EQ(errors, std::vector<std::string>{});
  }
}

TEST(AccessGate, VerifiesTheEmptyPinWhenThePageHasNone) {
  fake::FidoService service{*app_system};
  service.set_has_access(true);
  service.set_pin("1357");
  auto verdict = check_access(*app_system, service.handle(), "");
  EXPECT_FALSE(verdict.granted);
  EXPECT_EQ(verdict.message, incorrect);
  EXPECT_EQ(service.verified_pins(), std::vector<std::string>{""});
}

TEST(AccessGate, StopsAtTheFirstFailedRequestWithItsText) {
  struct row {
    request failing;
    std::string logged; // at error level; empty: nothing logged
    counts made;
  };
  const auto err = make_error(fido_error::pin_auth_blocked);
  const auto text = error_text(*app_system, err);
  const std::vector<row> table{
    {request::has_access, "[OtpWidget::get_access] failed to get has access", {1, 0, 0, 0}},
    {request::check_policy, "[OtpWidget::get_access] failed to check if pin policy enabled.",
     {1, 1, 0, 0}},
    {request::check_expire, "", {1, 1, 1, 0}},
    {request::verify, "[OtpWidget::get_access] Failed to verify pin. Error=" + text,
     {1, 1, 1, 1}},
  };
  for (auto& r : table) {
    SCOPED_TRACE(::testing::Message() << "failing request " << int(r.failing));
    fake::FidoService service{*app_system};
    service.set_has_access(true); // every request is reached unless one fails
    service.set_pin("1357");
    service.fail(r.failing, err);
    LogCapture log;
    auto verdict = check_access(*app_system, service.handle(), "1357");
    EXPECT_FALSE(verdict.granted);
    EXPECT_EQ(verdict.message, text);
    EXPECT_EQ(requests_made(service), r.made);
    auto expected = r.logged.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{r.logged};
    EXPECT_EQ(log.at(spdlog::level::err), expected);
    EXPECT_EQ(log.at(spdlog::level::info), std::vector<std::string>{});
  }
}

TEST(AccessGate, RendersServiceErrorsWithTheirTexts) {
  fake::FidoService service{*app_system};
  service.fail(request::has_access, make_error(fido_error::open_device_failed));
  EXPECT_EQ(check_access(*app_system, service.handle(), "").message,
            "Failed to open FIDO device.");
  EXPECT_FALSE(check_access(*app_system, fido_otp_actor{}, "").granted)
    << "a missing service refuses";
}

namespace {

// The gate as the page runs it. The service lists no tokens, so the gate
// runs only when a test calls it.
class PageGateTest : public ::testing::Test {
protected:
  FakeUnixClock clock{3000};
  TickPacer pacer{TickPacer::manual};
  fake::FidoService service{*app_system};
  std::unique_ptr<OtpWidget> page;

  OtpWidget& open(const std::string& pin) {
    page = std::make_unique<OtpWidget>(nullptr, service.handle(), pin);
    EXPECT_TRUE(pacer.wait_for_count(1));
    caf::anon_send(page->as_actor(), ::msg_atom{}, std::string("earlier text"));
    pump();
    return *page;
  }

  QString message() { return page->findChild<QLabel*>("lb_msg")->text(); }

  // Whether the countdown runs: only an active page moves the bar.
  bool countdown_runs() {
    clock.set(clock_now += 7);
    caf::anon_send(page->as_actor(), ::tick_atom{});
    pump();
    return page->findChild<QProgressBar*>("progressBar")->value() == int(clock_now % 60);
  }
  uint64_t clock_now = 3000;
};

} // namespace

TEST_F(PageGateTest, GrantWithoutPinKeepsTheLabelAndActivatesThePage) {
  open("");
  ASSERT_FALSE(countdown_runs());
  page->get_access();
  EXPECT_EQ(message(), "earlier text");
  EXPECT_TRUE(countdown_runs());
}

TEST_F(PageGateTest, RefusalShowsWhyAndLeavesThePageWaiting) {
  service.set_policy_enabled(true);
  open("");
  page->get_access();
  EXPECT_EQ(message(), QString::fromStdString(set_first));
  EXPECT_FALSE(countdown_runs());
}

TEST_F(PageGateTest, ARefusalOnAnActivePageKeepsItActive) {
  service.set_has_access(true);
  service.set_pin("1357");
  open("1357");
  page->get_access();
  ASSERT_TRUE(countdown_runs());
  service.set_pin("2468"); // the PIN changed meanwhile
  page->get_access();
  EXPECT_EQ(message(), QString::fromStdString(incorrect));
  EXPECT_TRUE(countdown_runs());
}

TEST_F(PageGateTest, RunsOnEveryNonEmptyListThePageReceives) {
  open("");
  auto send_list = [&](std::vector<OtpTokenInfo> tokens) {
    caf::anon_send(page->as_actor(), ::set_atom{}, ::info_atom{}, tokens);
    pump();
  };
  send_list({{"A", 30}});
  send_list({});
  send_list({{"A", 30}, {"B", 30}});
  EXPECT_EQ(service.count(request::has_access), 2);
  EXPECT_EQ(service.count(request::check_policy), 2);
}
