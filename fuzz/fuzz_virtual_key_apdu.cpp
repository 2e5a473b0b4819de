// libFuzzer entry: APDU sequences sent to the virtual key's OATH applet.

#include <cstdio>
#include <cstdlib>

#include "virtual_key_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto failure = fuzz_checks::virtual_key_apdus(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
