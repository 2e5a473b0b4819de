#include "scheduler.h"

#include "caf/actor_system_config.hpp"

bool work_sharing_selected() {
#ifdef TOVRIN_STOCK_SCHEDULER
  return false;
#else
  return true;
#endif
}

void select_scheduler(caf::actor_system_config& cfg) {
  if (work_sharing_selected())
    cfg.set("scheduler.policy", caf::atom("sharing"));
}
