// The service core over a scripted key backend: dispatch, answers from other
// threads, requests left unanswered, errors with context, and the log.

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include <gtest/gtest.h>

#include "core/key_backend.h"
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

struct Harness {
  Harness() : service(otp_service::spawn_service(test_system(), backend, text.log)) {}
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
  Harness h;
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
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  uint16_t port = ntohs(addr.sin_port);

  Harness h;
  std::ostringstream err;
  int code = otp_service::serve(test_system(), h.service, port, "fido-otp-test", *h.text.log, err);
  ::close(fd);
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
