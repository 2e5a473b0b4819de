#pragma once

#include <cstdint>

// "Now" for the OTP display: whole seconds since 1970. Production reads the
// system clock; tests install a source of their own.
namespace unix_clock {

using source = uint64_t (*)();

uint64_t now();

// Replaces the time source; nullptr restores the system clock. Safe to call
// while other threads read the time.
void set_source(source fn);

} // namespace unix_clock
