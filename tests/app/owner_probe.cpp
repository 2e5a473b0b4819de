// Prints what the service-owner check says about the listener on
// 127.0.0.1:PORT, as this process sees it ("trusted" or the reason).
#include <cstdio>
#include <cstdlib>

#include "service_owner.h"

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  auto why = untrusted_service_listener(static_cast<uint16_t>(std::atoi(argv[1])));
  std::puts(why ? why->c_str() : "trusted");
  return 0;
}
