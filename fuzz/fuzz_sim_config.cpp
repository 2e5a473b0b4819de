// libFuzzer entry: bytes parsed as the simulated key's JSON config.

#include <cstdio>
#include <cstdlib>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto failure = fuzz_checks::sim_config(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
