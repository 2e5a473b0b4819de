// A client of a FIDO OTP service for tests across processes: connects once
// to 127.0.0.1:PORT, then runs each command in order on that connection,
// printing one line per command. Exit code 3 when the connection is refused
// (the line "no service: ..." on standard error), 1 when a command failed.
//
//   info                     the token list ("info: 3 tokens" / "info: error TEXT")
//   code NAME OFFSET PIN     the code of NAME at now + OFFSET seconds
//   verify PIN COUNT         COUNT Verify requests, one after the other:
//                            "verify: N true, M false, K errors in S ms"
//   poll SECONDS             Info every 100 ms: "poll: N answers, F failures, slowest S ms"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/service_client.h"

namespace {

using Clock = std::chrono::steady_clock;

long millis(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fido_client PORT COMMAND...\n");
    return 2;
  }
  auto [sys, key] = connect_to_service(static_cast<uint16_t>(std::atoi(argv[1])), 3);
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string command = argv[i];
    auto arg = [&](int n) -> std::string {
      if (i + n >= argc) {
        std::fprintf(stderr, "%s: missing argument\n", command.c_str());
        std::_Exit(2);
      }
      return argv[i + n];
    };
    if (command == "info") {
      auto r = request_blocking<std::vector<OtpTokenInfo>>(*sys, key, ::get_atom{}, ::info_atom{});
      if (r)
        std::printf("info: %zu tokens\n", r->size());
      else
        std::printf("info: error %s\n", r.error_text().c_str());
      status |= r ? 0 : 1;
    } else if (command == "code") {
      const auto when = static_cast<uint64_t>(std::time(nullptr) + std::atol(arg(2).c_str()));
      auto r = request_blocking<std::string>(*sys, key, ::get_atom{}, ::otp_atom{}, arg(1), when,
                                             arg(3), true);
      if (r)
        std::printf("code: %s\n", r->c_str());
      else
        std::printf("code: error %s\n", r.error_text().c_str());
      status |= r ? 0 : 1;
      i += 3;
    } else if (command == "verify") {
      const auto pin = arg(1);
      const long count = std::atol(arg(2).c_str());
      long yes = 0, no = 0, errors = 0;
      const auto start = Clock::now();
      for (long n = 0; n < count; ++n) {
        auto r = request_blocking<bool>(*sys, key, ::verify_atom{}, ::access_atom{}, pin);
        (r ? (*r ? yes : no) : errors) += 1;
      }
      std::printf("verify: %ld true, %ld false, %ld errors in %ld ms\n", yes, no, errors,
                  millis(Clock::now() - start));
      i += 2;
    } else if (command == "poll") {
      const auto until = Clock::now() + std::chrono::seconds(std::atol(arg(1).c_str()));
      long answers = 0, failures = 0;
      Clock::duration slowest{};
      while (Clock::now() < until) {
        const auto start = Clock::now();
        auto r = request_blocking<std::vector<OtpTokenInfo>>(*sys, key, ::get_atom{},
                                                             ::info_atom{});
        slowest = std::max(slowest, Clock::now() - start);
        (r ? answers : failures) += 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::printf("poll: %ld answers, %ld failures, slowest %ld ms\n", answers, failures,
                  millis(slowest));
      status |= failures ? 1 : 0;
      i += 1;
    } else {
      std::fprintf(stderr, "unknown command: %s\n", command.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  std::fflush(nullptr);
  std::_Exit(status);
}
