#pragma once

#include <chrono>

#include "caf/fwd.hpp"

// Waits at most `limit` for every actor of `sys` to finish. Returns true when
// they all did; on a timeout the waiter thread is left running detached.
bool wait_all_actors_exit(caf::actor_system& sys, std::chrono::steady_clock::duration limit);

// Waits at most 10 seconds for every actor of `app_system` to finish.
void wait_all_actors_exit();
