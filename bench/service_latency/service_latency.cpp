// Request latency of a FIDO OTP service over TCP, as the app asks: one
// blocking request after the other from one handle. Prints the median, the
// 95th and 99th percentile and the worst, in microseconds, as "key value" lines.
// Usage: service_latency PORT info|code COUNT [NAME [PIN]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/service_client.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: service_latency PORT info|code COUNT [NAME [PIN]]\n");
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const std::string kind = argv[2];
  const long count = std::max(1L, std::atol(argv[3]));
  const std::string name = argc > 4 ? argv[4] : "";
  const std::string pin = argc > 5 ? argv[5] : "";

  auto [sys, key] = connect_to_service(port);
  std::vector<double> micros;
  micros.reserve(count);
  for (long i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    bool ok = false;
    std::string error;
    if (kind == "info") {
      auto r = request_blocking<std::vector<OtpTokenInfo>>(*sys, key, ::get_atom{}, ::info_atom{});
      ok = static_cast<bool>(r);
      error = ok ? "" : r.error_text();
    } else {
      const auto now = static_cast<uint64_t>(std::time(nullptr));
      auto r = request_blocking<std::string>(*sys, key, ::get_atom{}, ::otp_atom{}, name, now, pin,
                                             true);
      ok = static_cast<bool>(r);
      error = ok ? "" : r.error_text();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (!ok) {
      std::fprintf(stderr, "request %ld failed: %s\n", i, error.c_str());
      std::_Exit(1);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(took).count());
  }
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[std::min(micros.size() - 1, size_t(q * micros.size()))]; };
  std::printf("count %zu\nmedian_us %.1f\np95_us %.1f\np99_us %.1f\nmax_us %.1f\n", micros.size(),
              at(0.5), at(0.95), at(0.99), micros.back());
  std::fflush(nullptr);
  std::_Exit(0);
}
