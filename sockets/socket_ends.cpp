#include "socket_ends.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace {

#ifdef _WIN32
using native = SOCKET;
using length = int;
#else
using native = int;
using length = socklen_t;
#endif

std::optional<tcp_endpoint> endpoint_of(const sockaddr_storage& addr) {
  tcp_endpoint end;
  if (addr.ss_family == AF_INET) {
    auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    end.address = ipv4_in_ipv6(in.sin_addr.s_addr);
    end.port = ntohs(in.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    std::memcpy(end.address.data(), &in6.sin6_addr, sizeof end.address);
    end.port = ntohs(in6.sin6_port);
  } else {
    return std::nullopt;
  }
  return end;
}

template <class F>
std::optional<tcp_endpoint> end_of(native s, F get) {
  sockaddr_storage addr{};
  length size = sizeof addr;
  if (get(s, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    return std::nullopt;
  return endpoint_of(addr);
}

} // namespace

std::optional<connection_ends> ends_of_socket(std::uintptr_t socket) {
  const auto s = static_cast<native>(socket);
  auto ours = end_of(s, ::getsockname);
  auto theirs = end_of(s, ::getpeername);
  if (!ours || !theirs)
    return std::nullopt;
  return connection_ends{*ours, *theirs};
}
