#include "card/readers.h"

namespace card {

std::vector<ReaderState> matching(const std::vector<ReaderState>& states,
                                  const std::string& filter) {
  std::vector<ReaderState> result;
  for (const auto& state : states)
    if (state.name.find(filter) != std::string::npos)
      result.push_back(state);
  return result;
}

} // namespace card
