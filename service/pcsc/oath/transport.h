// The one seam between the protocol and the card: send an APDU, get the
// answer's data and status word.
#pragma once

#include <cstdint>

#include "oath/bytes.h"
#include "oath/result.h"

namespace oath {

struct Answer {
  Bytes data;
  uint16_t sw = 0;
};

class Transport {
public:
  virtual ~Transport() = default;
  // One command, one answer. Failures are the middleware's (removed, reset, ...).
  virtual Result<Answer> transmit(ByteView apdu) = 0;
};

// Most data one chained answer may carry before it counts as malformed.
inline constexpr size_t max_chained_size = 64 * 1024;
// ... and most pieces (a key that answers 61xx with no data would never end).
inline constexpr size_t max_chained_rounds = 1024;

// Sends `apdu`; while the key answers 61xx, asks for the rest with SEND
// REMAINING and joins the pieces. The answer's status word is the last one.
Result<Answer> exchange(Transport& transport, ByteView apdu);

} // namespace oath
