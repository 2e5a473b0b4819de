#include "app_system.h"

caf::actor_system* app_system = nullptr;
