// The application's and the simulated service's actor systems run on the
// scheduler the build selects: work sharing unless the stock one is asked for.

#include <gtest/gtest.h>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/io/middleman.hpp"
#include "caf/policy/work_sharing.hpp"
#include "caf/policy/work_stealing.hpp"
#include "caf/scheduler/coordinator.hpp"

#include "quill_common_config.h"
#include "scheduler.h"

namespace {

using sharing = caf::scheduler::coordinator<caf::policy::work_sharing>;
using stealing = caf::scheduler::coordinator<caf::policy::work_stealing>;

bool shares_work(caf::actor_system_config& cfg) {
  caf::actor_system sys{cfg};
  return dynamic_cast<sharing*>(&sys.scheduler()) != nullptr;
}

bool steals_work(caf::actor_system_config& cfg) {
  caf::actor_system sys{cfg};
  return dynamic_cast<stealing*>(&sys.scheduler()) != nullptr;
}

} // namespace

TEST(Scheduler, BothProcessesRunOnTheSelectedScheduler) {
  quill_common_config app;
  caf::actor_system_config service;
  service.load<caf::io::middleman>();
  select_scheduler(service);
  if (work_sharing_selected()) {
    EXPECT_TRUE(shares_work(app));
    EXPECT_TRUE(shares_work(service));
  } else {
    EXPECT_TRUE(steals_work(app));
    EXPECT_TRUE(steals_work(service));
  }
  // Left alone, the library steals work.
  caf::actor_system_config stock;
  EXPECT_TRUE(steals_work(stock));
}
