#include "card/key_finder.h"

#include <algorithm>
#include <optional>

namespace card {

namespace {

std::string quoted_names(const std::vector<ReaderState>& states) {
  std::string out;
  for (const auto& state : states)
    out += (out.empty() ? "\"" : ", \"") + state.name + "\"";
  return out;
}

} // namespace

Scan open_key(Readers& readers, const std::string& filter, const oath::RandomSource& random,
              ScanMemory& memory) {
  using oath::Failure;
  using oath::Fault;
  Scan scan;
  auto states = readers.states();
  if (!states) {
    scan.key = states.failure();
    return scan;
  }
  scan.states_known = true;
  scan.seen = matching(*states, filter);
  // Forget cards that have left or changed since they were seen.
  auto& known = memory.without_applet;
  known.erase(std::remove_if(known.begin(), known.end(),
                             [&](const ReaderState& card) {
                               return std::find(scan.seen.begin(), scan.seen.end(), card)
                                      == scan.seen.end();
                             }),
              known.end());
  if (states->empty()) {
    scan.key = Failure{Fault::no_reader, oath::Step::connect, "no smart-card reader"};
    return scan;
  }
  if (scan.seen.empty()) {
    scan.key = Failure{Fault::no_matching_reader, oath::Step::connect,
                       "no reader name contains \"" + filter + "\" (readers: "
                         + quoted_names(*states) + ")"};
    return scan;
  }
  std::vector<OpenKey> found;
  std::optional<Failure> trouble;
  for (const auto& reader : scan.seen) {
    if (!reader.present || std::find(known.begin(), known.end(), reader) != known.end())
      continue;
    auto connection = readers.connect(reader.name);
    if (!connection) {
      const auto& failure = connection.failure();
      if (failure.fault == Fault::removed)
        continue;
      if (failure.fault == Fault::sharing_violation || failure.fault == Fault::reader_failure) {
        trouble = failure;
        continue;
      }
      scan.key = failure;
      return scan;
    }
    auto session = std::make_unique<oath::Session>(**connection, random);
    auto info = session->select();
    if (!info) {
      const auto& failure = info.failure();
      if (failure.fault == Fault::no_key) {
        known.push_back(reader);
        continue;
      }
      if (failure.fault == Fault::removed)
        continue;
      if (failure.fault == Fault::reset || failure.fault == Fault::no_service) {
        scan.key = failure;
        return scan;
      }
      trouble = failure;
      continue;
    }
    found.push_back(OpenKey{reader.name, std::move(*connection), std::move(session), *info});
  }
  if (found.size() > 1) {
    std::vector<ReaderState> holding;
    for (const auto& key : found)
      holding.push_back(ReaderState{key.reader});
    scan.key = Failure{Fault::several_keys, oath::Step::connect,
                       "keys with the OATH applet in " + quoted_names(holding)};
    return scan;
  }
  if (found.empty()) {
    scan.key = trouble ? *trouble
                       : Failure{Fault::no_key, oath::Step::connect, "no key with the OATH applet"};
    return scan;
  }
  scan.key = std::move(found.front());
  return scan;
}

} // namespace card
