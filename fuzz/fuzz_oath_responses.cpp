// libFuzzer entry: bytes as the OATH applet's answers (first byte picks the
// parser; 6 runs a whole session on a transport that answers from the input).

#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto failure = fuzz_checks::oath_responses(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
