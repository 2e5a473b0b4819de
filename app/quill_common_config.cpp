#include "quill_common_config.h"

#include "caf/io/middleman.hpp"

quill_common_config::quill_common_config() {
  load<caf::io::middleman>();
#ifdef TOVRIN_WORK_SHARING_SCHEDULER
  set("scheduler.policy", caf::atom("sharing"));
#endif
}

quill_common_config::~quill_common_config() = default;
