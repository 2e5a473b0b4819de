#pragma once

#include "caf/fwd.hpp"

// The scheduler of the application's and the simulated service's actor
// systems. CAF's stock work-stealing scheduler polls for work while it has
// none, about 1,400 wake-ups a second on an idle desktop, and more the more
// cores there are; the work-sharing scheduler's workers sleep until work
// arrives. Builds with TOVRIN_STOCK_SCHEDULER keep the library's default.
void select_scheduler(caf::actor_system_config& cfg);

// Whether select_scheduler() picks work sharing in this build.
bool work_sharing_selected();
