#pragma once

#include <cstdint>

namespace testing_support {

// A TCP port on 127.0.0.1 on which nothing listens right now.
uint16_t unused_port();

} // namespace testing_support
