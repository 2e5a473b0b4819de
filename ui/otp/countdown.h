#pragma once

#include <cstdint>
#include <limits>

// Where the progress bar stands `now` within a token period (not 0). Periods
// beyond the range of a QProgressBar are halved, with the value, so that the
// bar still runs from empty to full over one period.
struct bar_position {
  int maximum;
  int value;
};

inline bar_position bar_position_at(uint64_t now, uint32_t period) {
  uint64_t elapsed = now % period;
  uint32_t scale = period > uint32_t(std::numeric_limits<int>::max()) ? 2 : 1;
  return {static_cast<int>(period / scale), static_cast<int>(elapsed / scale)};
}
