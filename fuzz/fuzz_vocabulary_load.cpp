// libFuzzer entry: bytes from the wire loaded as vocabulary values and messages.

#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto failure = fuzz_checks::vocabulary_load(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
