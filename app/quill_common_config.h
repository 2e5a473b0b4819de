#pragma once

#include "caf/actor_system_config.hpp"

// The configuration of the process's one actor system: the I/O module and
// the scheduler (see scheduler.h); every other setting keeps the library's
// default. Nothing is read from a command line or a file.
class quill_common_config : public caf::actor_system_config {
public:
  quill_common_config();
  ~quill_common_config() override;
};
