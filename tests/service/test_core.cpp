// The service core over a scripted key backend: dispatch, answers from other
// threads, requests left unanswered, errors with context, and the log.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "caf/all.hpp"
#include "caf/io/all.hpp"
#include "caf/io/network/default_multiplexer.hpp"

#include <gtest/gtest.h>

#include "core/access.h"
#include "core/key_backend.h"
#include "core/request_guards.h"
#include "core/request_log.h"
#include "core/serve.h"
#include "core/service.h"
#include "errors.h"
#include "fido_otp_actor.h"
#include "vocabulary.h"

using namespace std::chrono_literals;
using otp_service::Reply;

namespace {

caf::actor_system& test_system() {
  // Built once and never destroyed (see caf_test_main).
  static caf::actor_system* sys = [] {
    auto cfg = new otp_service::ServiceConfig;
    return new caf::actor_system{*cfg};
  }();
  return *sys;
}

// Records every call as "<method> <arguments>" and answers as the test's
// script says; without a script, each method answers at once.
class ScriptedBackend : public otp_service::KeyBackend {
public:
  std::function<void(Reply<void>)> on_lookup = [](Reply<void> r) { r({}); };
  std::function<void(Reply<std::vector<OtpTokenInfo>>)> on_info = [](auto r) {
    r(std::vector<OtpTokenInfo>{{"A", 30}, {"B", 60}});
  };
  std::function<void(Reply<std::string>)> on_otp = [](auto r) { r(std::string{"123456"}); };
  std::function<void(Reply<bool>)> on_has_access = [](auto r) { r(true); };
  std::function<void(Reply<bool>)> on_verify = [](auto r) { r(false); };
  std::function<void(Reply<void>)> on_change = [](Reply<void> r) { r({}); };

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> guard{mtx_};
    return calls_;
  }

  void lookup(Reply<void> r) override {
    record("lookup");
    on_lookup(r);
  }
  void token_info(Reply<std::vector<OtpTokenInfo>> r) override {
    record("token_info");
    on_info(r);
  }
  void otp(const std::string& name, uint64_t time, const std::string& pin, bool hw,
           Reply<std::string> r) override {
    record("otp " + name + " " + std::to_string(time) + " " + pin + " " + (hw ? "hw" : "no-hw"));
    on_otp(r);
  }
  void has_access(Reply<bool> r) override {
    record("has_access");
    on_has_access(r);
  }
  void verify_pin(const std::string& pin, Reply<bool> r) override {
    record("verify_pin " + pin);
    on_verify(r);
  }
  void change_pin(const std::string& new_pin, const std::string& old_pin,
                  Reply<void> r) override {
    record("change_pin " + new_pin + " " + old_pin);
    on_change(r);
  }
  void pin_expired(Reply<bool> r) override {
    record("pin_expired");
    r(false);
  }
  void hardware_access(Reply<bool> r) override {
    record("hardware_access");
    r(true);
  }
  void policy_enabled(Reply<bool> r) override {
    record("policy_enabled");
    r(false);
  }
  void check_compliant(const std::string& new_pin, Reply<PinPolicyResult> r) override {
    record("check_compliant " + new_pin);
    r(PinPolicyResult{false, "too short"});
  }

private:
  void record(std::string call) {
    std::lock_guard<std::mutex> guard{mtx_};
    calls_.push_back(std::move(call));
  }

  std::mutex mtx_;
  std::vector<std::string> calls_;
};

// A log that tests can read while the service writes it.
class LogText {
public:
  LogText() : log(std::make_shared<otp_service::RequestLog>(out_)) {}
  std::vector<std::string> lines() {
    std::vector<std::string> result;
    std::istringstream in{out_.str()};
    for (std::string line; std::getline(in, line);)
      result.push_back(line);
    return result;
  }

  std::shared_ptr<otp_service::RequestLog> log;

private:
  // Written under the log's lock; read only after the answers arrived.
  std::ostringstream out_;
};

// The service's clock stands at `now` unless the options bring one.
otp_service::CoreOptions at_time(uint64_t now, otp_service::CoreOptions options = {}) {
  if (!options.clock)
    options.clock = [now] { return now; };
  return options;
}

struct Harness {
  explicit Harness(otp_service::CoreOptions options = at_time(1111111109))
    : service(otp_service::spawn_service(test_system(), backend, text.log, std::move(options))) {}
  ~Harness() { otp_service::stop_service(service); }

  std::shared_ptr<ScriptedBackend> backend = std::make_shared<ScriptedBackend>();
  LogText text;
  otp_service::Service service;
};

// Sends one request and waits at most `limit` for its answer.
template <class R, class Handle, class... Ts>
caf::expected<R> ask(const Handle& dest, caf::duration limit, Ts... xs) {
  caf::scoped_actor self{test_system()};
  caf::expected<R> result{caf::sec::request_timeout};
  self->request(dest, limit, xs...)
    .receive([&](R& value) { result = std::move(value); },
             [&](caf::error& err) { result = std::move(err); });
  return result;
}

template <class R, class Handle, class... Ts>
caf::expected<R> ask(const Handle& dest, Ts... xs) {
  return ask<R>(dest, caf::duration{5s}, xs...);
}

// True when the answer came and is `expected`.
bool answered(const caf::expected<bool>& answer, bool expected) {
  return answer && *answer == expected;
}

bool ask_void(const fido_otp_actor& dest, caf::error* failure, std::string new_pin,
              std::string old_pin) {
  caf::scoped_actor self{test_system()};
  bool ok = false;
  self->request(dest, 5s, ::change_atom{}, ::access_atom{}, new_pin, old_pin)
    .receive([&] { ok = true; }, [&](caf::error& err) { *failure = std::move(err); });
  return ok;
}

} // namespace

TEST(ServiceCore, EachRequestReachesItsBackendMethodAndItsAnswerTheClient) {
  Harness h;
  auto fido = ask<caf::actor>(h.service.lookup, ::get_atom{}, ::actor_fido_otp{});
  ASSERT_TRUE(fido) << caf::to_string(fido.error());
  EXPECT_EQ(*fido, caf::actor_cast<caf::actor>(h.service.fido));
  auto key = caf::actor_cast<fido_otp_actor>(*fido);

  auto infos = ask<std::vector<OtpTokenInfo>>(key, ::get_atom{}, ::info_atom{});
  ASSERT_TRUE(infos);
  EXPECT_EQ(*infos, (std::vector<OtpTokenInfo>{{"A", 30}, {"B", 60}}));
  auto code = ask<std::string>(key, ::get_atom{}, ::otp_atom{}, std::string{"A"},
                               uint64_t{1111111109}, std::string{"pin-8"}, true);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, "123456");
  EXPECT_TRUE(answered(ask<bool>(key, ::has_atom{}, ::access_atom{}), true));
  EXPECT_TRUE(
    answered(ask<bool>(key, ::verify_atom{}, ::access_atom{}, std::string{"pin-5"}), false));
  caf::error failure;
  EXPECT_TRUE(ask_void(key, &failure, "pin-new", "pin-old")) << caf::to_string(failure);
  EXPECT_TRUE(answered(ask<bool>(key, ::check_atom{}, ::pin_atom{}, ::expire_atom{}), false));
  EXPECT_TRUE(answered(ask<bool>(key, ::check_atom{}, ::hwaccess_atom{}), true));
  EXPECT_TRUE(answered(ask<bool>(key, ::check_atom{}, ::pin_atom{}, ::policy_atom{}), false));
  auto verdict = ask<PinPolicyResult>(key, ::check_atom{}, ::compliant_atom{}, ::policy_atom{},
                                      std::string{"pin-9"});
  ASSERT_TRUE(verdict);
  EXPECT_EQ(*verdict, (PinPolicyResult{false, "too short"}));

  EXPECT_EQ(h.backend->calls(),
            (std::vector<std::string>{"lookup", "token_info", "otp A 1111111109 pin-8 hw",
                                      "has_access", "verify_pin pin-5",
                                      "change_pin pin-new pin-old", "pin_expired",
                                      "hardware_access", "policy_enabled",
                                      "check_compliant pin-9"}));
  // One line per request, in the core's words, without a PIN or a code.
  EXPECT_EQ(h.text.lines(),
            (std::vector<std::string>{"lookup: ok", "get_info: ok (2 tokens)",
                                      "get_otp: ok (6-digit code)", "has_access: ok (true)",
                                      "verify_pin: ok (false)", "change_pin: ok",
                                      "check_expire: ok (false)", "check_hwaccess: ok (true)",
                                      "check_policy: ok (false)",
                                      "check_compliant: ok (not compliant: too short)"}));
}

TEST(ServiceCore, LateAnswersFromOtherThreadsAndUnansweredRequestsHoldNobodyElse) {
  Harness h{at_time(59)};
  std::mutex mtx;
  std::vector<Reply<std::vector<OtpTokenInfo>>> late;
  std::vector<Reply<std::string>> never;
  h.backend->on_info = [&](auto r) {
    std::lock_guard<std::mutex> guard{mtx};
    late.push_back(r);
  };
  h.backend->on_otp = [&](auto r) {
    r.log("get_otp: held");
    std::lock_guard<std::mutex> guard{mtx};
    never.push_back(r);
  };
  auto key = h.service.fido;
  caf::scoped_actor self{test_system()};
  // A request that is never answered, and one whose answer comes later.
  auto code = self->request(key, 300ms, ::get_atom{}, ::otp_atom{}, std::string{"A"},
                            uint64_t{59}, std::string{}, false);
  auto infos = self->request(key, 5s, ::get_atom{}, ::info_atom{});
  // Others are answered meanwhile.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(answered(ask<bool>(key, ::has_atom{}, ::access_atom{}), true));
  std::thread card{[&] {
    std::lock_guard<std::mutex> guard{mtx};
    ASSERT_EQ(late.size(), 1u);
    late.front()(std::vector<OtpTokenInfo>{{"late", 30}});
    // A second answer to the same request is ignored.
    late.front()(make_error(fido_error::list_otp_failed));
  }};
  card.join();
  std::vector<OtpTokenInfo> got;
  infos.receive([&](std::vector<OtpTokenInfo>& x) { got = std::move(x); },
                [&](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
  EXPECT_EQ(got, (std::vector<OtpTokenInfo>{{"late", 30}}));
  caf::error unanswered;
  code.receive([&](std::string&) { ADD_FAILURE() << "a held request was answered"; },
               [&](caf::error& err) { unanswered = std::move(err); });
  EXPECT_EQ(unanswered, caf::sec::request_timeout);
  // Still serving after all that.
  EXPECT_TRUE(answered(ask<bool>(key, ::has_atom{}, ::access_atom{}), true));
  auto lines = h.text.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "get_otp: held"), 1) << lines.size();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "get_info: ok (1 tokens)"), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](auto& l) { return l.rfind("get_info: error", 0) == 0; }),
            0);
  // An answer after the service has ended goes nowhere, and harms nothing.
  otp_service::stop_service(h.service);
  std::this_thread::yield();
  std::lock_guard<std::mutex> guard{mtx};
  never.front()(std::string{"654321"});
}

TEST(ServiceCore, ErrorsReachTheClientWithCategoryAndContext) {
  Harness h;
  h.backend->on_info = [](auto r) {
    r(caf::error{3, error_category::pcsc,
                 caf::make_message(std::string{"pcscd is not running: sudo systemctl start pcscd"})});
  };
  h.backend->on_has_access = [](auto r) { r(caf::error{}); };
  h.backend->on_verify = [](auto) { throw std::runtime_error("card gone"); };
  h.backend->on_lookup = [](auto r) { r(make_error(fido_error::operation_denied)); };
  auto key = h.service.fido;
  auto infos = ask<std::vector<OtpTokenInfo>>(key, ::get_atom{}, ::info_atom{});
  ASSERT_FALSE(infos);
  EXPECT_EQ(infos.error().category(), error_category::pcsc);
  EXPECT_EQ(infos.error().code(), 3);
  EXPECT_EQ(error_text(test_system(), infos.error()),
            "Failed to connect to reader (pcscd is not running: sudo systemctl start pcscd)");
  // An empty error is still a failure, never a success.
  auto access = ask<bool>(key, ::has_atom{}, ::access_atom{});
  EXPECT_FALSE(access);
  // A backend that throws answers with an error; the service stays up.
  auto verified = ask<bool>(key, ::verify_atom{}, ::access_atom{}, std::string{"1234"});
  EXPECT_FALSE(verified);
  auto refused = ask<caf::actor>(h.service.lookup, ::get_atom{}, ::actor_fido_otp{});
  ASSERT_FALSE(refused);
  EXPECT_TRUE(is_fido_error(refused.error(), fido_error::operation_denied));
  auto lines = h.text.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "get_info: error pcsc_error 3 (Failed to connect to reader (pcscd is not "
                      "running: sudo systemctl start pcscd))");
  EXPECT_EQ(lines[1].rfind("has_access: error ", 0), 0u) << lines[1];
  EXPECT_NE(lines[2].find("card gone"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[2].find("1234"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3], "lookup: error fido_error 19 (FIDO operation denied.)");
}

TEST(ServiceCore, ATakenPortIsOneLineAndExitCodeOne) {
  namespace net = caf::io::network;
  auto fd = net::new_tcp_acceptor_impl(0, "127.0.0.1", false);
  ASSERT_TRUE(fd);
  auto local = net::local_port_of_fd(*fd);
  ASSERT_TRUE(local);
  uint16_t port = *local;

  Harness h;
  std::ostringstream err;
  int code = otp_service::serve(test_system(), h.service, port, "fido-otp-test", h.text.log, err);
  net::close_socket(*fd);
  EXPECT_EQ(code, 1);
  auto text = err.str();
  EXPECT_EQ(text.rfind("fido-otp-test: cannot listen on 127.0.0.1:" + std::to_string(port) + ": ",
                       0),
            0u)
    << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_TRUE(h.text.lines().empty());
}

TEST(ServiceCore, PortsAreWholeNumbersUpTo65535) {
  EXPECT_EQ(otp_service::parse_port("12900"), uint16_t{12900});
  EXPECT_EQ(otp_service::parse_port("0"), uint16_t{0});
  EXPECT_EQ(otp_service::parse_port("65535"), uint16_t{65535});
  for (const char* bad : {"", "65536", "-1", "12a", " 80", "99999999999999999999"})
    EXPECT_FALSE(otp_service::parse_port(bad)) << bad;
}

namespace {

using Clock = std::chrono::steady_clock;

// Sends a Verify and waits for it; how long the answer took.
Clock::duration timed_verify(const fido_otp_actor& key, const std::string& pin, bool expected) {
  auto start = Clock::now();
  EXPECT_TRUE(answered(ask<bool>(key, ::verify_atom{}, ::access_atom{}, pin), expected)) << pin;
  return Clock::now() - start;
}

} // namespace

// After three wrong PINs in a row (over every client), each answer to a
// PIN-carrying request waits, twice as long each time up to the longest;
// the tries reach the key one at a time; other requests are answered at
// once; a right PIN ends it.
TEST(ServiceCore, WrongPinsSlowDownPinAnswersAndNothingElse) {
  otp_service::CoreOptions options;
  options.first_pin_wait = 100ms;
  options.longest_pin_wait = 400ms;
  Harness h{at_time(1111111109, options)};
  h.backend->on_verify = [](auto r) { r(false); };
  std::atomic<bool> right_pin{false};
  h.backend->on_otp = [&](Reply<std::string> r) {
    if (right_pin)
      r(std::string{"123456"});
    else
      r(make_error(fido_error::pin_incorrect));
  };
  auto key = h.service.fido;
  // Wrong, from a Verify and from a Code: no wait yet.
  for (int i = 0; i < 2; ++i)
    EXPECT_LT(timed_verify(key, "bad", false), 90ms);
  auto code = ask<std::string>(key, ::get_atom{}, ::otp_atom{}, std::string{"A"},
                               uint64_t{1111111109}, std::string{"bad"}, false);
  EXPECT_TRUE(is_fido_error(code.error(), fido_error::pin_incorrect));
  // Then 100, 200, 400 and at most 400 ms.
  for (auto wait : {100ms, 200ms, 400ms, 400ms}) {
    auto took = timed_verify(key, "bad", false);
    EXPECT_GE(took, wait);
    EXPECT_LT(took, wait + 300ms);
  }
  // Three tries sent at once reach the key one after the other; an Info
  // meanwhile is answered at once.
  caf::scoped_actor self{test_system()};
  auto calls_before = h.backend->calls().size();
  std::vector<decltype(self->request(key, 5s, ::verify_atom{}, ::access_atom{}, std::string{}))>
    tries;
  for (int i = 0; i < 3; ++i)
    tries.push_back(self->request(key, 5s, ::verify_atom{}, ::access_atom{}, std::string{"bad"}));
  auto start = Clock::now();
  auto infos = ask<std::vector<OtpTokenInfo>>(key, ::get_atom{}, ::info_atom{});
  ASSERT_TRUE(infos);
  EXPECT_LT(Clock::now() - start, 100ms);
  auto calls = h.backend->calls();
  EXPECT_EQ(std::count(calls.begin() + static_cast<long>(calls_before), calls.end(),
                       "verify_pin bad"),
            1);
  for (auto& answer : tries)
    answer.receive([](bool ok) { EXPECT_FALSE(ok); },
                   [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
  EXPECT_GE(Clock::now() - start, 3 * 400ms);
  // A right PIN still waits its turn, then ends the waiting.
  right_pin = true;
  start = Clock::now();
  code = ask<std::string>(key, ::get_atom{}, ::otp_atom{}, std::string{"A"},
                          uint64_t{1111111109}, std::string{"good"}, false);
  ASSERT_TRUE(code);
  EXPECT_GE(Clock::now() - start, 400ms);
  EXPECT_LT(timed_verify(key, "bad", false), 90ms);
  auto lines = h.text.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "verify_pin: answer held 400 ms after 5 wrong PINs in a row"),
            1);
}

// A code is given only for the service's present: within one period of the
// token (as the key listed it last; 30 s for a token not listed).
TEST(ServiceCore, CodesOnlyForTimesNearTheServicesClock) {
  const uint64_t now = 1700000000;
  Harness h{at_time(now)};
  auto key = h.service.fido;
  auto code = [&](const char* name, int64_t offset) {
    return ask<std::string>(key, ::get_atom{}, ::otp_atom{}, std::string{name},
                            static_cast<uint64_t>(static_cast<int64_t>(now) + offset),
                            std::string{}, false);
  };
  // Not listed yet: 30 s.
  EXPECT_TRUE(code("B", 30));
  auto refused = code("B", 31);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(is_fido_error(refused.error(), fido_error::operation_denied));
  EXPECT_EQ(error_text(test_system(), refused.error()),
            "FIDO operation denied. (a code for 31 s ahead: only the present is answered, "
            "within 30 s)");
  ASSERT_TRUE(ask<std::vector<OtpTokenInfo>>(key, ::get_atom{}, ::info_atom{}));
  // Listed: A every 30 s, B every 60 s.
  EXPECT_TRUE(code("A", -30));
  EXPECT_FALSE(code("A", -31));
  EXPECT_TRUE(code("B", 60));
  EXPECT_FALSE(code("B", -61));
  EXPECT_FALSE(code("A", 7 * 86400));
  auto calls = h.backend->calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](auto& c) { return c.rfind("otp ", 0) == 0; }),
            3);
  auto lines = h.text.lines();
  EXPECT_EQ(lines.back(), "get_otp: error fido_error 19 (FIDO operation denied. (a code for "
                          "604800 s ahead: only the present is answered, within 30 s))");
}

TEST(ServiceAccess, ConnectionsAreCountedPerAccountAndInAll) {
  otp_service::AccessPolicy policy{{"uid 1000", "uid 0"}, {}};
  policy.limits.connections = 3;
  policy.limits.connections_per_account = 2;
  otp_service::ConnectionCounts counts{policy};
  using otp_service::Refusal;
  EXPECT_EQ(counts.admit(std::nullopt), Refusal::unknown_owner);
  EXPECT_EQ(counts.admit("uid 4242"), Refusal::other_account);
  EXPECT_EQ(counts.admit("uid 1000"), std::nullopt);
  EXPECT_EQ(counts.admit("uid 1000"), std::nullopt);
  EXPECT_EQ(counts.admit("uid 1000"), Refusal::account_full);
  EXPECT_EQ(counts.admit("uid 0"), std::nullopt);
  EXPECT_EQ(counts.admit("uid 0"), Refusal::service_full);
  EXPECT_EQ(counts.open(), 3u);
  counts.release("uid 1000");
  counts.release("uid 4242"); // never let in: changes nothing
  EXPECT_EQ(counts.open(), 2u);
  EXPECT_EQ(counts.admit("uid 0"), std::nullopt);

  EXPECT_EQ(otp_service::refusal_text(Refusal::other_account, "uid 4242", 51234, policy.limits),
            "refused a connection from uid 4242 (port 51234): not an account this service "
            "serves");
  EXPECT_EQ(otp_service::refusal_text(Refusal::unknown_owner, std::nullopt, 7, policy.limits,
                                      "no process holds the other end"),
            "refused a connection (port 7): its owner cannot be found: no process holds the "
            "other end");
  EXPECT_EQ(otp_service::refusal_text(Refusal::account_full, "uid 0", 8, policy.limits),
            "refused a connection from uid 0 (port 8): this account has 2 connections open");
}

TEST(ServiceAccess, AtMostOneLineASecondForEachAccountWithACountOfTheRest) {
  otp_service::LogThrottle throttle;
  const auto t0 = std::chrono::steady_clock::time_point{} + 100s;
  EXPECT_EQ(throttle.pass("uid 1", "a", t0), "a");
  EXPECT_EQ(throttle.pass("uid 1", "b", t0 + 999ms), std::nullopt);
  EXPECT_EQ(throttle.pass("uid 2", "c", t0 + 999ms), "c");
  EXPECT_EQ(throttle.pass("uid 1", "d", t0 + 999ms), std::nullopt);
  EXPECT_EQ(throttle.pass("uid 1", "e", t0 + 1000ms), "e (and 2 more lines about uid 1 held back)");
  EXPECT_EQ(throttle.pass("uid 1", "f", t0 + 2500ms), "f");
}

TEST(ServiceLog, TimesAreUtcWithMilliseconds) {
  using std::chrono::system_clock;
  auto at = [](int64_t ms) { return system_clock::time_point{std::chrono::milliseconds{ms}}; };
  EXPECT_EQ(otp_service::utc_text(at(0)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(otp_service::utc_text(at(1111111109500)), "2005-03-18T01:58:29.500Z");
  EXPECT_EQ(otp_service::utc_text(at(1709251199999)), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(otp_service::utc_text(at(-1)), "1969-12-31T23:59:59.999Z");
  std::ostringstream out;
  otp_service::RequestLog log{out, [&] { return at(86400000); }};
  log.write("get_info: ok (1 tokens)");
  EXPECT_EQ(out.str(), "1970-01-02T00:00:00.000Z get_info: ok (1 tokens)\n");
}
