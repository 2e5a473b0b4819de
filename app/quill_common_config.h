#pragma once

#include "caf/actor_system_config.hpp"

// The configuration of the process's one actor system: the I/O module and
// nothing else; every other setting keeps the library's default.
class quill_common_config : public caf::actor_system_config {
public:
  quill_common_config();
  ~quill_common_config() override;
};
