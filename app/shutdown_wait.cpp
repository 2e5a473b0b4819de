#include "shutdown_wait.h"

#include <future>
#include <memory>
#include <thread>

#include <spdlog/spdlog.h>

#include "caf/actor_system.hpp"

#include "app_system.h"

namespace {

// now + limit on the steady clock, saturating instead of overflowing.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::duration limit) {
  auto now = std::chrono::steady_clock::now();
  if (limit > std::chrono::steady_clock::time_point::max() - now)
    return std::chrono::steady_clock::time_point::max();
  return now + limit;
}

} // namespace

bool wait_all_actors_exit(caf::actor_system& sys, std::chrono::steady_clock::duration limit) {
  // The waiter shares the promise: it may finish after this function gave up.
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  std::thread waiter{[&sys, done] {
    sys.await_all_actors_done();
    spdlog::info("All actors exit done");
    done->set_value();
  }};
  if (future.wait_until(deadline_after(limit)) == std::future_status::ready) {
    spdlog::info("join wait th");
    waiter.join();
    spdlog::info("join wait th done.");
    return true;
  }
  waiter.detach();
  spdlog::info("actors exiting timeout...");
  return false;
}

void wait_all_actors_exit() {
  wait_all_actors_exit(*app_system, std::chrono::seconds(10));
}
