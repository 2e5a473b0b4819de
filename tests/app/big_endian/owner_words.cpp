// The service-owner parsing on a big-endian machine (built for s390x, run
// under qemu-user): the socket tables are printed here as such a kernel
// prints them. Prints one line per mismatch; exit code 0 when none.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <string>
#include <vector>

#include "service_owner.h"

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}

// "%08X" of the word as it lies in memory, as the kernel prints it.
std::string word(uint32_t network_order) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", network_order);
  return text;
}

std::string row(const std::string& local, const std::string& remote, const char* state,
                unsigned uid) {
  return "   0: " + local + " " + remote + " " + state
         + " 00000000:00000000 00:00000000 00000000 " + std::to_string(uid)
         + " 0 4711 1 0 100 0 0 10 0\n";
}

} // namespace

int main() {
  const auto lo = word(htonl(INADDR_LOOPBACK));
  const auto zero = word(0);
  expect(lo == "7F000001", "this machine prints 127.0.0.1 big-endian");

  auto table = row(lo + ":3264", zero + ":0000", "0A", 4001)
               + row(zero + ":3264", zero + ":0000", "0A", 4002)
               + row(word(htonl(0x7F000002)) + ":3264", zero + ":0000", "0A", 4003)
               + row("0100007F:3264", zero + ":0000", "0A", 4004); // 1.0.0.127 here
  expect(loopback_listener_owners(table, 12900) == std::vector<uid_t>{4001, 4002},
         "IPv4 listeners on 127.0.0.1 and 0.0.0.0, and only those");

  const auto any6 = zero + zero + zero + zero;
  auto table6 = row(any6 + ":3264", any6 + ":0000", "0A", 4005)
                + row(zero + zero + word(htonl(0xFFFF)) + lo + ":3264", any6 + ":0000", "0A", 4006)
                + row(zero + zero + zero + word(htonl(1)) + ":3264", any6 + ":0000", "0A", 4007);
  expect(loopback_listener_owners(table6, 12900) == std::vector<uid_t>{4005, 4006},
         "IPv6 listeners on :: and ::ffff:127.0.0.1, not ::1");

  if (failures == 0)
    std::printf("all big-endian checks passed\n");
  return failures == 0 ? 0 : 1;
}
