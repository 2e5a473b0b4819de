// Requests to the FIDO OTP actor: message shapes, blocking requests against a
// local stand-in for the service's actor, and whole messages on the wire.

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include "allocation_probe.h"
#include "fido_otp_actor.h"
#include "request.h"
#include "sim_process.h"
#include "test_support.h"

namespace {

using fido_sigs = fido_otp_actor::signatures;

template <class... Ts>
constexpr bool accepted = caf::response_type<fido_sigs, Ts...>::valid;

template <class... Ts>
using reply_of = caf::response_type_t<fido_sigs, Ts...>;

template <class... Ts>
using list = caf::detail::type_list<Ts...>;

// The OTP request as the application builds it.
static_assert(accepted<::get_atom, ::otp_atom, std::string, uint64_t, std::string, bool>);
static_assert(std::is_same<reply_of<::get_atom, ::otp_atom, std::string, uint64_t,
                                    std::string, bool>,
                           list<std::string>>::value);
// Near misses are rejected.
static_assert(!accepted<::get_atom, ::otp_atom, std::string, uint32_t, std::string, bool>);
static_assert(!accepted<::get_atom, ::otp_atom, std::string, uint64_t, std::string>);
static_assert(!accepted<caf::get_atom, ::otp_atom, std::string, uint64_t, std::string, bool>);
static_assert(!accepted<::get_atom, ::info_atom, std::string>);
// The other requests and their replies.
static_assert(std::is_same<reply_of<::get_atom, ::info_atom>,
                           list<std::vector<OtpTokenInfo>>>::value);
static_assert(std::is_same<reply_of<::has_atom, ::access_atom>, list<bool>>::value);
static_assert(std::is_same<reply_of<::verify_atom, ::access_atom, std::string>,
                           list<bool>>::value);
static_assert(std::is_same<reply_of<::change_atom, ::access_atom, std::string, std::string>,
                           list<void>>::value);
static_assert(std::is_same<reply_of<::check_atom, ::pin_atom, ::expire_atom>,
                           list<bool>>::value);
static_assert(std::is_same<reply_of<::check_atom, ::hwaccess_atom>, list<bool>>::value);
static_assert(std::is_same<reply_of<::check_atom, ::pin_atom, ::policy_atom>,
                           list<bool>>::value);
static_assert(std::is_same<reply_of<::check_atom, ::compliant_atom, ::policy_atom,
                                    std::string>,
                           list<PinPolicyResult>>::value);

// Builds a message and checks, at compile time, that the handle accepts it.
template <class... Ts>
caf::message make_fido_request(Ts... xs) {
  static_assert(accepted<Ts...>, "not a request of fido_otp_actor");
  return caf::make_message(std::move(xs)...);
}

// A stand-in for the service's actor: two tokens, a policy that wants at
// least six digits.
fido_otp_actor::behavior_type fake_key(const std::string& key_pin) {
  return {
    [](::get_atom, ::info_atom) {
      return std::vector<OtpTokenInfo>{{"GitHub", 30}, {"Mail", 60}};
    },
    [key_pin](::get_atom, ::otp_atom, const std::string& name, uint64_t time,
              const std::string& pin, bool hw) -> caf::result<std::string> {
      if (name != "GitHub")
        return caf::error{static_cast<uint8_t>(fido_error::no_otp_token),
                          error_category::fido, caf::make_message(name)};
      if (!pin.empty() && pin != key_pin)
        return make_error(fido_error::pin_incorrect);
      return name + "@" + std::to_string(time) + (pin.empty() ? "" : "+pin")
             + (hw ? "+hw" : "");
    },
    [](::has_atom, ::access_atom) { return true; },
    [key_pin](::verify_atom, ::access_atom, const std::string& pin) { return pin == key_pin; },
    [key_pin](::change_atom, ::access_atom, const std::string& new_pin,
              const std::string& old_pin) -> caf::result<void> {
      if (old_pin != key_pin)
        return make_error(fido_error::pin_incorrect);
      if (new_pin.empty())
        return make_error(fido_error::pin_empty_not_allowed);
      return caf::unit;
    },
    [](::check_atom, ::pin_atom, ::expire_atom) { return false; },
    [](::check_atom, ::hwaccess_atom) { return true; },
    [](::check_atom, ::pin_atom, ::policy_atom) { return true; },
    [](::check_atom, ::compliant_atom, ::policy_atom, const std::string& pin) {
      if (pin.size() < 6)
        return PinPolicyResult{false, "at least 6 digits"};
      return PinPolicyResult{true, ""};
    },
  };
}

} // namespace

using RequestMessage = system_test;

TEST_F(RequestMessage, OtpRequestElementsAndText) {
  auto msg = make_fido_request(::get_atom{}, ::otp_atom{}, std::string{"GitHub"}, uint64_t{59},
                               std::string{}, true);
  EXPECT_TRUE((msg.match_elements<::get_atom, ::otp_atom, std::string, uint64_t, std::string,
                                  bool>()));
  EXPECT_EQ(to_string(msg), "(get_atom(), otp_atom(), \"GitHub\", 59, \"\", true)");
  EXPECT_EQ(sys.types().portable_name(msg.type(0)), "get_atom");
  EXPECT_EQ(sys.types().portable_name(msg.type(1)), "otp_atom");
}

class BlockingRequest : public system_test {
protected:
  // Spawned with an argument: CAF 0.17 dereferences a null argument tuple when
  // a function actor is spawned without any (UBSan reports it).
  void SetUp() override { key = sys.spawn(fake_key, std::string{"1234"}); }
  void TearDown() override {
    if (key)
      caf::anon_send_exit(key, caf::exit_reason::user_shutdown);
  }

  fido_otp_actor key;
};

TEST_F(BlockingRequest, ValueReplies) {
  auto tokens = request_blocking<std::vector<OtpTokenInfo>>(sys, key, ::get_atom{},
                                                            ::info_atom{});
  ASSERT_TRUE(tokens) << tokens.error_text();
  EXPECT_EQ(*tokens, (std::vector<OtpTokenInfo>{{"GitHub", 30}, {"Mail", 60}}));
  EXPECT_FALSE(tokens.error());
  EXPECT_EQ(tokens.error_text(), "");

  auto code = request_blocking<std::string>(sys, key, ::get_atom{}, ::otp_atom{},
                                            std::string{"GitHub"}, uint64_t{59},
                                            std::string{"1234"}, true);
  ASSERT_TRUE(code) << code.error_text();
  EXPECT_EQ(*code, "GitHub@59+pin+hw");
  EXPECT_EQ(code->size(), 16u);

  auto verified = request_blocking<bool>(sys, key, ::verify_atom{}, ::access_atom{},
                                         std::string{"0000"});
  ASSERT_TRUE(verified);
  EXPECT_FALSE(*verified);

  auto policy = request_blocking<PinPolicyResult>(sys, key, ::check_atom{}, ::compliant_atom{},
                                                  ::policy_atom{}, std::string{"123"});
  ASSERT_TRUE(policy);
  EXPECT_EQ(*policy, (PinPolicyResult{false, "at least 6 digits"}));
}

TEST_F(BlockingRequest, ErrorRepliesCarryErrorAndText) {
  auto code = request_blocking<std::string>(sys, key, ::get_atom{}, ::otp_atom{},
                                            std::string{"Nope"}, uint64_t{59}, std::string{},
                                            false);
  ASSERT_FALSE(code);
  EXPECT_TRUE(is_fido_error(code.error(), fido_error::no_otp_token));
  EXPECT_EQ(code.error_text(), "The device doesn't have a OTP token. (Nope)");

  auto wrong_pin = request_blocking<std::string>(sys, key, ::get_atom{}, ::otp_atom{},
                                                 std::string{"GitHub"}, uint64_t{1},
                                                 std::string{"9999"}, false);
  ASSERT_FALSE(wrong_pin);
  EXPECT_TRUE(is_fido_error(wrong_pin.error(), fido_error::pin_incorrect));
  EXPECT_EQ(wrong_pin.error_text(), "PIN is incorrect.");
}

TEST_F(BlockingRequest, VoidReplies) {
  auto changed = request_blocking<void>(sys, key, ::change_atom{}, ::access_atom{},
                                        std::string{"654321"}, std::string{"1234"});
  EXPECT_TRUE(changed) << changed.error_text();
  EXPECT_FALSE(changed.error());
  EXPECT_EQ(changed.error_text(), "");

  auto refused = request_blocking<void>(sys, key, ::change_atom{}, ::access_atom{},
                                        std::string{"654321"}, std::string{"0000"});
  EXPECT_FALSE(refused);
  EXPECT_TRUE(is_fido_error(refused.error(), fido_error::pin_incorrect));
  EXPECT_EQ(refused.error_text(), "PIN is incorrect.");
}

// The actor library holds an error with code 0 as "no error"; a reply that
// came as an error is still a failure.
TEST_F(BlockingRequest, ErrorReplyWithCodeZeroIsAFailure) {
  auto zero = sys.spawn(
    [](caf::event_based_actor*, int) -> caf::behavior {
      return {
        [](::change_atom, ::access_atom, const std::string&,
           const std::string&) -> caf::result<void> { return caf::error{}; },
        [](::has_atom, ::access_atom) -> caf::result<bool> {
          return make_error(api_error{0});
        },
      };
    },
    0);
  auto changed = request_blocking<void>(sys, zero, ::change_atom{}, ::access_atom{},
                                        std::string{"1"}, std::string{"2"});
  EXPECT_FALSE(changed);
  EXPECT_EQ(changed.error_text(), sys.render(caf::error{}));
  auto has = request_blocking<bool>(sys, zero, ::has_atom{}, ::access_atom{});
  EXPECT_FALSE(has);
  caf::anon_send_exit(zero, caf::exit_reason::user_shutdown);
}

TEST_F(BlockingRequest, InvalidHandleFailsAtOnce) {
  fido_otp_actor none;
  auto start = std::chrono::steady_clock::now();
  auto result = request_blocking<bool>(sys, none, ::has_atom{}, ::access_atom{});
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), caf::sec::invalid_argument);
  EXPECT_EQ(result.error_text(), sys.render(result.error()));
  EXPECT_NE(result.error_text().find("invalid_argument"), std::string::npos);
  EXPECT_LT(elapsed, std::chrono::seconds(1));

  auto nothing = request_blocking<void>(sys, none, ::change_atom{}, ::access_atom{},
                                        std::string{"1"}, std::string{"2"});
  EXPECT_FALSE(nothing);
  EXPECT_EQ(nothing.error(), caf::sec::invalid_argument);
}

// A request to an actor that is gone fails instead of waiting forever.
TEST_F(BlockingRequest, TerminatedActorFails) {
  {
    caf::scoped_actor self{sys};
    self->monitor(key);
    caf::anon_send_exit(key, caf::exit_reason::kill);
    self->receive([](const caf::down_msg&) {});
  }
  auto result = request_blocking<bool>(sys, key, ::has_atom{}, ::access_atom{});
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), caf::sec::request_receiver_down);
  EXPECT_NE(result.error_text().find("request_receiver_down"), std::string::npos);
}

// A receiver that goes down while it holds the request (as a remote service
// does when its connection is lost) fails the request instead of leaving it
// waiting forever.
TEST_F(BlockingRequest, ReceiverGoingDownWhileHoldingTheRequestFails) {
  auto holder = sys.spawn(
    [](caf::event_based_actor* self, int) -> caf::behavior {
      return {
        [self](::has_atom, ::access_atom) -> caf::result<bool> {
          auto promise = self->make_response_promise<bool>();
          self->delayed_send(self, std::chrono::milliseconds(100), ::stop_atom{});
          return promise;
        },
        [self](::stop_atom) { self->quit(); },
      };
    },
    0);
  auto start = std::chrono::steady_clock::now();
  auto result = request_blocking<bool>(sys, holder, ::has_atom{}, ::access_atom{});
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), caf::sec::request_receiver_down);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The asking actor can end before the request is settled: killed, or by an
// exception in one of its handlers (here: while it renders the error it got).
// The request then fails with the reason instead of waiting forever.
TEST(BlockingRequestAsker, EndingUnansweredFailsTheRequest) {
  struct config : registered_config {
    config() {
      add_error_category(caf::atom("boom"),
                         [](uint8_t, caf::atom_value, const caf::message&) -> std::string {
                           throw std::runtime_error("no text for this error");
                         });
    }
  };
  static auto* cfg = new config;
  // Never destroyed: a request that hangs keeps a thread in it.
  static auto* sys = new caf::actor_system{*cfg};
  // Holds every request it gets; ends the asker first where told to.
  auto receiver = sys->spawn(
    [](caf::event_based_actor* self, int) -> caf::behavior {
      auto held = std::make_shared<std::vector<caf::response_promise>>();
      return {
        [self, held](::has_atom, ::access_atom) -> caf::result<bool> {
          auto asker = caf::actor_cast<caf::actor_addr>(self->current_sender());
          held->push_back(self->make_response_promise());
          self->send_exit(asker, caf::exit_reason::kill);
          return caf::delegated<bool>{};
        },
        [](::check_atom, ::hwaccess_atom) -> caf::result<bool> {
          return caf::error{1, caf::atom("boom")};
        },
        [self, held](::check_atom, ::pin_atom, ::expire_atom) -> caf::result<bool> {
          auto asker = caf::actor_cast<caf::actor_addr>(self->current_sender());
          held->push_back(self->make_response_promise());
          self->send_exit(asker, caf::error{2, caf::atom("boom")});
          return caf::delegated<bool>{};
        },
        [self, held](::check_atom, ::pin_atom, ::policy_atom) -> caf::result<bool> {
          auto asker = caf::actor_cast<caf::actor_addr>(self->current_sender());
          held->push_back(self->make_response_promise());
          self->send_exit(asker, caf::exit_reason::user_shutdown);
          return caf::delegated<bool>{};
        },
      };
    },
    0);
  // The request on a thread of its own, so that a hang fails the test.
  auto bounded = [](auto ask) -> std::optional<reply<bool>> {
    auto done = std::make_shared<std::promise<reply<bool>>>();
    auto answer = done->get_future();
    std::thread{[done, ask] { done->set_value(ask()); }}.detach();
    if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
      return std::nullopt;
    return answer.get();
  };
  // An exception in a handler ends an actor of this library with runtime_error.
  const struct {
    const char* what;
    std::function<reply<bool>()> ask;
    caf::error reason;
  } cases[] = {
    {"killed", [&] { return request_blocking<bool>(*sys, receiver, ::has_atom{}, ::access_atom{}); },
     caf::make_error(caf::exit_reason::kill)},
    {"told to shut down",
     [&] { return request_blocking<bool>(*sys, receiver, ::check_atom{}, ::pin_atom{},
                                         ::policy_atom{}); },
     caf::make_error(caf::exit_reason::user_shutdown)},
    {"exception in a handler",
     [&] { return request_blocking<bool>(*sys, receiver, ::check_atom{}, ::hwaccess_atom{}); },
     caf::make_error(caf::sec::runtime_error)},
    {"ended with a reason that has no text",
     [&] { return request_blocking<bool>(*sys, receiver, ::check_atom{}, ::pin_atom{},
                                         ::expire_atom{}); },
     caf::error{2, caf::atom("boom")}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = bounded(c.ask);
    if (!result) {
      ADD_FAILURE() << "still waiting after 10 s";
      continue;
    }
    EXPECT_FALSE(*result);
    EXPECT_EQ(result->error(), c.reason) << caf::to_string(result->error());
    if (c.reason.category() == caf::atom("boom"))
      EXPECT_EQ(result->error_text(), caf::to_string(c.reason));
    else
      EXPECT_EQ(result->error_text(), sys->render(c.reason));
  }
  caf::anon_send_exit(receiver, caf::exit_reason::user_shutdown);
}

// The dynamically built OTP message reaches the typed handler.
TEST_F(BlockingRequest, BuiltMessageMatchesTheHandler) {
  auto msg = make_fido_request(::get_atom{}, ::otp_atom{}, std::string{"GitHub"}, uint64_t{59},
                               std::string{}, true);
  caf::scoped_actor self{sys};
  std::string code;
  caf::error failure;
  self->request(caf::actor_cast<caf::actor>(key), caf::infinite, msg)
    .receive([&](std::string& x) { code = x; }, [&](caf::error& err) { failure = err; });
  EXPECT_FALSE(failure) << sys.render(failure);
  EXPECT_EQ(code, "GitHub@59+hw");
}

// The application's pattern: one long-lived handle of a remote service, asked
// again and again. Each request's asking actor must leave nothing behind on
// the handle once it has its answer.
TEST(BlockingRequestOverTcp, ManyRequestsLeaveNoAllocationsBehind) {
  static auto* cfg = [] {
    auto result = new registered_config;
    result->load<caf::io::middleman>();
    return result;
  }();
  // Never destroyed: it holds a connection when the test ends.
  static auto* sys = new caf::actor_system{*cfg};
  testing_support::SimProcess sim{FIDO_OTP_SIM_PATH};
  auto service = sys->middleman().remote_actor("127.0.0.1", sim.port());
  ASSERT_TRUE(service) << sys->render(service.error());
  auto fido = request_blocking<caf::actor>(*sys, *service, ::get_atom{}, ::actor_fido_otp{});
  ASSERT_TRUE(fido) << fido.error_text();
  auto key = caf::actor_cast<fido_otp_actor>(*fido);

  auto ask = [&](int times) {
    for (int i = 0; i < times; ++i) {
      auto answer = request_blocking<bool>(*sys, key, ::has_atom{}, ::access_atom{});
      ASSERT_TRUE(answer) << answer.error_text();
      ASSERT_FALSE(*answer);
    }
  };
  ask(200); // connection buffers, caches and the like settle
  const auto before = probe::live_allocations();
  const int requests = 3000;
  ask(requests);
  const auto grown = probe::live_allocations() - before;
  RecordProperty("allocations_grown", std::to_string(grown));
  // A leak of one allocation per request would show as >= 3000.
  EXPECT_LT(grown, requests / 10) << grown << " allocations more after " << requests
                                  << " requests";
}

using MessageWire = system_test;

TEST_F(MessageWire, TokenListMessageRoundTrips) {
  std::vector<OtpTokenInfo> tokens{{"GitHub", 30}, {"", 0}, {"Mail", 4294967295u}};
  auto msg = caf::make_message(::get_atom{}, tokens);
  byte_buffer buf;
  {
    caf::binary_serializer sink{sys, buf};
    auto err = msg.save(sink);
    ASSERT_FALSE(err) << sys.render(err);
  }
  caf::message loaded;
  caf::binary_deserializer source{sys, buf};
  auto err = loaded.load(source);
  ASSERT_FALSE(err) << sys.render(err);
  EXPECT_EQ(source.remaining(), 0u);
  ASSERT_TRUE((loaded.match_elements<::get_atom, std::vector<OtpTokenInfo>>()));
  EXPECT_EQ(loaded.get_as<std::vector<OtpTokenInfo>>(1), tokens);
  EXPECT_EQ(to_string(loaded), to_string(msg));
  // The names on the wire are the registered ones.
  std::string wire(buf.begin(), buf.end());
  EXPECT_NE(wire.find("get_atom"), std::string::npos);
  EXPECT_NE(wire.find("vector<OtpTokenInfo>"), std::string::npos);
  EXPECT_EQ(wire.find("std::vector<OtpTokenInfo>"), std::string::npos);
}

TEST_F(MessageWire, EveryValueTypeRoundTripsInAMessage) {
  for_each_sample([&](const auto& x) {
    using T = std::decay_t<decltype(x)>;
    auto msg = caf::make_message(::otp_atom{}, x);
    byte_buffer buf;
    {
      caf::binary_serializer sink{sys, buf};
      auto err = msg.save(sink);
      ASSERT_FALSE(err) << show(x) << ": " << sys.render(err);
    }
    caf::message loaded;
    caf::binary_deserializer source{sys, buf};
    auto err = loaded.load(source);
    ASSERT_FALSE(err) << show(x) << ": " << sys.render(err);
    ASSERT_TRUE((loaded.match_elements<::otp_atom, T>())) << show(x);
    EXPECT_TRUE(loaded.get_as<T>(1) == x) << show(x);
  });
}

// Without the system the message's type names cannot be resolved.
TEST_F(MessageWire, LoadingNeedsTheSystem) {
  auto msg = caf::make_message(::get_atom{}, std::vector<OtpTokenInfo>{{"GitHub", 30}});
  byte_buffer buf;
  caf::binary_serializer sink{sys, buf};
  ASSERT_FALSE(msg.save(sink));
  caf::message loaded;
  caf::binary_deserializer source{nullptr, buf};
  EXPECT_TRUE(loaded.load(source));
}
