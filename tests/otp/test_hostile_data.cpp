// Whatever the service lists: many tokens, huge or invalid names, duplicates,
// extreme periods. Nothing may crash, divide by zero, overflow or slow down.

#include "caf/all.hpp"

#include <QComboBox>
#include <QElapsedTimer>
#include <QProgressBar>

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "otp/countdown.h"
#include "otp/name_codec.h"
#include "otp/otp_widget.h"
#include "otp/otp_widget_actor_detach.h"
#include "otp_test_support.h"

using namespace otp_testing;
using fake::request;

namespace {

std::vector<OtpTokenInfo> many_tokens(size_t n) {
  std::vector<OtpTokenInfo> tokens;
  tokens.reserve(n);
  for (size_t i = 0; i < n; ++i)
    tokens.push_back({"token-" + std::to_string(i), uint32_t(30 + i % 31)});
  return tokens;
}

std::string megabyte_name() {
  std::string name;
  name.reserve(1 << 20);
  for (size_t i = 0; name.size() < (1u << 20); ++i)
    name += (i % 97 == 0) ? '\xff' : char('a' + i % 26);
  return name;
}

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

class HostilePollingTest : public ::testing::Test {
protected:
  CoutCapture out;
  FakeUnixClock clock{3000};
  TickPacer pacer{TickPacer::manual};
  fake::FidoService service{*app_system};
  PageRecorder page;
  caf::actor poller;

  void TearDown() override {
    caf::anon_send_exit(poller, caf::exit_reason::user_shutdown);
    EXPECT_TRUE(wait_exit(poller));
  }

  void start() {
    poller = app_system->spawn<OtpWidgetActorDetach, caf::detached>(page.handle(),
                                                                    service.handle());
    ASSERT_TRUE(pacer.wait_for_count(1));
    page.sync();
  }

  // Runs one tick and returns how long it took, in milliseconds.
  double timed_tick() {
    auto n = pacer.count();
    auto t = std::chrono::steady_clock::now();
    caf::anon_send(poller, ::tick_atom{});
    EXPECT_TRUE(pacer.wait_for_count(n + 1, std::chrono::seconds(10)));
    double took = ms_since(t);
    page.sync();
    return took;
  }
};

class HostilePageTest : public ::testing::Test {
protected:
  CoutCapture out;
  FakeUnixClock clock{3000};
  std::unique_ptr<TickPacer> pacer = std::make_unique<TickPacer>(TickPacer::fast);
  fake::FidoService service{*app_system};
  std::unique_ptr<OtpWidget> page;

  void pace(TickPacer::mode m) {
    pacer.reset(); // its destructor restores the default pacing
    pacer = std::make_unique<TickPacer>(m);
  }

  QComboBox* combo() { return page->findChild<QComboBox*>("comboBox"); }
  QProgressBar* bar() { return page->findChild<QProgressBar*>("progressBar"); }

  void open(std::vector<OtpTokenInfo> tokens) {
    service.set_tokens(std::move(tokens));
    page = std::make_unique<OtpWidget>(nullptr, service.handle(), "");
  }
  // Names of the code requests made so far.
  std::vector<std::string> asked_names() {
    std::vector<std::string> names;
    for (auto& r : service.otp_requests())
      names.push_back(r.name);
    return names;
  }
};

} // namespace

TEST_F(HostilePollingTest, TicksOverTenThousandTokensStayFast) {
  auto tokens = many_tokens(10000);
  service.set_tokens(tokens);
  start();
  ASSERT_EQ(page.take().size(), 1u) << "the list went out once";
  caf::anon_send(poller, ::name_atom{}, tokens.back().name, std::string{});
  double with_code = timed_tick(); // the selected token is the last one
  double unchanged = timed_tick();
  tokens.back().name = "renamed";
  service.set_tokens(tokens);
  double renamed = timed_tick(); // the whole list is compared and forwarded
  auto events = page.take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().list.size(), 10000u);
  std::cerr << "[ timing ] one tick over 10000 tokens: " << with_code << " ms with a code, "
            << unchanged << " ms unchanged, " << renamed << " ms forwarding a changed list\n";
  EXPECT_LT(with_code, 250);
  EXPECT_LT(unchanged, 250);
  EXPECT_LT(renamed, 250);
}

TEST_F(HostilePollingTest, DuplicateNamesUseTheFirstToken) {
  service.set_tokens({{"dup", 30}, {"dup", 60}});
  start();
  caf::anon_send(poller, ::name_atom{}, std::string("dup"), std::string{});
  timed_tick();
  ASSERT_EQ(service.otp_requests().size(), 1u);
  EXPECT_EQ(service.otp_requests()[0].name, "dup");
  auto events = page.take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), code("dup:3000", 100)) << "step of the first token's period";
}

TEST_F(HostilePageTest, TakesTenThousandTokensAndRunsTheGateOnce) {
  auto tokens = many_tokens(10000);
  QElapsedTimer timer;
  timer.start();
  open(tokens);
  ASSERT_TRUE(wait_until([&] { return combo()->count() == 10000; }, 20s));
  ASSERT_TRUE(wait_until([&] { return !asked_names().empty(); }, 10s));
  std::cerr << "[ timing ] page filled with 10000 tokens and showing a code after "
            << timer.elapsed() << " ms\n";
  EXPECT_EQ(combo()->currentText(), "token-0");
  EXPECT_EQ(combo()->itemText(0), "token-9999");
  EXPECT_EQ(service.count(request::has_access), 1);
  EXPECT_EQ(asked_names().front(), "token-0");
}

TEST_F(HostilePageTest, AMegabyteNameTravelsBackByteForByte) {
  auto big = megabyte_name();
  open({{big, 30}, {"B", 30}});
  ASSERT_TRUE(wait_until([&] { return !asked_names().empty(); }, 10s));
  EXPECT_TRUE(asked_names().front() == big) << "the name sent back differs from the service's";
  EXPECT_EQ(name_from_qstring(combo()->itemText(1)), big);
}

TEST_F(HostilePageTest, InvalidUtf8AndDuplicateNamesTravelBackByteForByte) {
  const std::vector<OtpTokenInfo> tokens{{"\xff\xfe", 30},       {"caf\xe9", 30},
                                         {"\xed\xa0\x80", 30},   {"dup", 30},
                                         {"dup", 60},            {std::string("a\0b", 3), 30}};
  open(tokens);
  ASSERT_TRUE(wait_until([&] { return !asked_names().empty(); }));
  EXPECT_EQ(asked_names()[0], tokens[0].name);
  // The box lists them in reverse; select each one and see what the service is asked.
  for (int i = combo()->count() - 1; i >= 0; --i) {
    auto& expected = tokens[size_t(combo()->count() - 1 - i)].name;
    if (combo()->currentIndex() == i)
      continue;
    size_t before = asked_names().size();
    combo()->setCurrentIndex(i);
    ASSERT_TRUE(wait_until([&] { return asked_names().size() > before; })) << i;
    EXPECT_EQ(asked_names().back(), expected) << "item " << i;
  }
}

TEST_F(HostilePageTest, PeriodZeroLeavesTheBarAloneAndNeverBlanks) {
  pace(TickPacer::manual);
  open({{"Z", 0}});
  ASSERT_TRUE(wait_until([&] { return service.count(request::has_access) == 1; }));
  pump();
  caf::anon_send(page->as_actor(), ::set_atom{}, ::otp_atom{}, std::string("999999"),
                 uint64_t{0});
  for (uint64_t now : {3000u, 3001u, 999999u}) {
    clock.set(now);
    caf::anon_send(page->as_actor(), ::tick_atom{});
    pump();
  }
  EXPECT_EQ(page->displayed_code(), "999999");
  EXPECT_EQ(bar()->maximum(), 60);
  EXPECT_EQ(bar()->value(), 0);
}

TEST_F(HostilePageTest, TheLongestPeriodAtTheEndOfTimeKeepsTheBarInRange) {
  pace(TickPacer::manual);
  const uint32_t longest = 4294967295u;
  const uint64_t late = (uint64_t{1} << 63) + 4000000000u;
  open({{"L", longest}});
  ASSERT_TRUE(wait_until([&] { return service.count(request::has_access) == 1; }));
  pump();
  caf::anon_send(page->as_actor(), ::set_atom{}, ::otp_atom{}, std::string("123456"),
                 late / longest);
  clock.set(late);
  caf::anon_send(page->as_actor(), ::tick_atom{});
  pump();
  EXPECT_EQ(page->displayed_code(), "123456") << "still within its step";
  EXPECT_EQ(bar()->maximum(), int(longest / 2));
  EXPECT_EQ(bar()->value(), int((late % longest) / 2));
  clock.set((late / longest + 1) * longest);
  caf::anon_send(page->as_actor(), ::tick_atom{});
  pump();
  EXPECT_EQ(page->displayed_code(), "") << "blanked at the next step";
  EXPECT_EQ(bar()->value(), 0);
}

TEST(Countdown, BarPositionCoversEveryPeriod) {
  EXPECT_EQ(bar_position_at(3010, 30).maximum, 30);
  EXPECT_EQ(bar_position_at(3010, 30).value, 10);
  EXPECT_EQ(bar_position_at(3029, 30).value, 29);
  EXPECT_EQ(bar_position_at(3030, 30).value, 0);
  EXPECT_EQ(bar_position_at(UINT64_MAX, 1).value, 0);
  auto widest = bar_position_at(2147483646, 2147483647);
  EXPECT_EQ(widest.maximum, 2147483647);
  EXPECT_EQ(widest.value, 2147483646);
  auto halved = bar_position_at(UINT64_MAX, 4294967295u);
  EXPECT_EQ(halved.maximum, 2147483647);
  EXPECT_EQ(halved.value, int((UINT64_MAX % 4294967295u) / 2));
  EXPECT_LE(halved.value, halved.maximum);
}
