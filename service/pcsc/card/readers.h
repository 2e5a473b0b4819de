// The card thread's view of the middleware: readers with their states, and
// shared connections to the card in one of them. PC/SC implements it; tests
// use fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "oath/result.h"
#include "oath/transport.h"

namespace card {

struct ReaderState {
  std::string name;
  bool present = false;  // a card is in the reader
  uint16_t events = 0;   // the reader's event count: insertions, removals

  friend bool operator==(const ReaderState& a, const ReaderState& b) {
    return a.name == b.name && a.present == b.present && a.events == b.events;
  }
  friend bool operator!=(const ReaderState& a, const ReaderState& b) { return !(a == b); }
};

// A shared connection inside one transaction. Destroying it ends the
// transaction and lets go of the card. transmit() fails with Fault::reset when
// another program reset the card, Fault::removed when the card left.
class Connection : public oath::Transport {};

class Readers {
public:
  virtual ~Readers() = default;
  // Every reader and its state. Fault::no_service when the middleware is away.
  virtual oath::Result<std::vector<ReaderState>> states() = 0;
  // Connects to the card in `reader` and begins a transaction. Fault::removed
  // when there is no card, Fault::sharing_violation when another program
  // holds it exclusively (after a bounded wait).
  virtual oath::Result<std::unique_ptr<Connection>> connect(const std::string& reader) = 0;
};

// Where the states come from without asking the card thread: the presence
// monitor. nullopt while they are not known (starting, middleware away).
class Presence {
public:
  virtual ~Presence() = default;
  virtual std::optional<std::vector<ReaderState>> current() const = 0;
};

// The readers whose name contains `filter` (all of them for "").
std::vector<ReaderState> matching(const std::vector<ReaderState>& states,
                                  const std::string& filter);

} // namespace card
