#pragma once

#include "caf/fwd.hpp"

// The process's one actor system: written once by process entry before any
// widget exists, never destroyed.
extern caf::actor_system* app_system;
