#include "quill_common_config.h"

#include "caf/io/middleman.hpp"

#include "scheduler.h"

quill_common_config::quill_common_config() {
  load<caf::io::middleman>();
  select_scheduler(*this);
}

quill_common_config::~quill_common_config() = default;
