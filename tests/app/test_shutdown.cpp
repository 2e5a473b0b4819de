#include <chrono>

#include "caf/all.hpp"

#include <gtest/gtest.h>

#include "log_capture.h"
#include "quill_common_config.h"
#include "shutdown_wait.h"
#include "vocabulary.h"

using testing_support::LogCapture;
using namespace std::chrono;

namespace {

// A system of its own, never destroyed: a timed-out waiter may outlive the test.
caf::actor_system& fresh_system() {
  static quill_common_config* cfg = [] {
    auto c = new quill_common_config;
    init_global_meta_objects(*c);
    return c;
  }();
  return *new caf::actor_system(*cfg);
}

} // namespace

TEST(ShutdownWait, ReturnsAtOnceWhenNoActorIsLeft) {
  auto& sys = fresh_system();
  LogCapture log;
  auto start = steady_clock::now();
  EXPECT_TRUE(wait_all_actors_exit(sys, seconds(10)));
  EXPECT_LT(steady_clock::now() - start, seconds(2));
  std::vector<std::string> expected{"All actors exit done", "join wait th", "join wait th done."};
  EXPECT_EQ(log.at(spdlog::level::info), expected);
}

TEST(ShutdownWait, GivesUpAfterItsLimitWhenAnActorNeverEnds) {
  auto& sys = fresh_system();
  // (Spawned with an argument: this CAF version trips UBSan on argument-less function actors.)
  auto forever = sys.spawn([](caf::event_based_actor*, int) -> caf::behavior { return {[](int) {}}; }, 0);
  LogCapture log;
  auto start = steady_clock::now();
  EXPECT_FALSE(wait_all_actors_exit(sys, seconds(10)));
  auto waited = steady_clock::now() - start;
  EXPECT_GE(waited, seconds(10));
  EXPECT_LT(waited, seconds(12));
  std::vector<std::string> expected{"actors exiting timeout..."};
  EXPECT_EQ(log.at(spdlog::level::info), expected);
  // The detached waiter finishes later without touching freed state.
  caf::anon_send_exit(forever, caf::exit_reason::user_shutdown);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_TRUE(log.contains(spdlog::level::info, "All actors exit done"));
}

TEST(ShutdownWait, HugeLimitSaturatesInsteadOfOverflowing) {
  auto& sys = fresh_system();
  auto start = steady_clock::now();
  EXPECT_TRUE(wait_all_actors_exit(sys, steady_clock::duration::max()));
  EXPECT_LT(steady_clock::now() - start, seconds(2));
}
