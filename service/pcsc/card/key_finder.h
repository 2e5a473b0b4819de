// Finds the one key with the OATH applet among the readers, and opens it:
// connected, in a transaction, the applet selected.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card/readers.h"
#include "oath/secret.h"
#include "oath/session.h"

namespace card {

// Cards that answered SELECT without the applet, so that they are not
// selected again while they stay in their reader (same event count).
struct ScanMemory {
  std::vector<ReaderState> without_applet;
};

struct OpenKey {
  std::string reader;
  std::unique_ptr<Connection> connection;
  std::unique_ptr<oath::Session> session;  // over `connection`, selected
  oath::SelectInfo info;
};

struct Scan {
  // The states of the readers that match the filter, as this scan saw them.
  std::vector<ReaderState> seen;
  bool states_known = false;
  oath::Result<OpenKey> key = oath::Failure{oath::Fault::no_key};
};

// Fault::no_reader, no_matching_reader, no_key or several_keys when there is
// not exactly one key. A card that another program holds (sharing violation)
// or that answers SELECT with nonsense counts only when no key is found.
Scan open_key(Readers& readers, const std::string& filter, const oath::RandomSource& random,
              ScanMemory& memory);

} // namespace card
