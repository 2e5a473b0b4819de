#include "quill_common_config.h"

#include "caf/io/middleman.hpp"

quill_common_config::quill_common_config() {
  load<caf::io::middleman>();
}

quill_common_config::~quill_common_config() = default;
