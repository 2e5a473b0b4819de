// Days of polling in a minute or two: blocking requests, one after the other,
// from one long-lived handle to fido-otp-sim over TCP, as the app makes them
// (the token list and the access query in turn). Prints the memory (VmRSS) of
// this process and of the service every tenth of the way.
// Usage: request_stress PORT SIM_PID REQUESTS

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/service_client.h"

namespace {

long rss_kb(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: request_stress PORT SIM_PID REQUESTS\n");
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const long sim_pid = std::atol(argv[2]);
  const long requests = std::max(10L, std::atol(argv[3]));

  auto [sys, key] = connect_to_service(port);
  for (long i = 0; i <= requests; ++i) {
    if (i % (requests / 10) == 0) {
      std::printf("%ld requests: client %ld KB, sim %ld KB\n", i, rss_kb(::getpid()),
                  rss_kb(sim_pid));
      std::fflush(stdout);
    }
    bool ok = i % 2 ? static_cast<bool>(request_blocking<std::vector<OtpTokenInfo>>(
                        *sys, key, ::get_atom{}, ::info_atom{}))
                    : static_cast<bool>(request_blocking<bool>(*sys, key, ::has_atom{},
                                                               ::access_atom{}));
    if (!ok) {
      std::fprintf(stderr, "request %ld failed\n", i);
      std::_Exit(1);
    }
  }
  std::fflush(nullptr);
  std::_Exit(0);
}
