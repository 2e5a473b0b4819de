// Linux: the kernel's socket diagnostics tell who owns the other end; where
// netlink is not allowed, the socket tables in /proc/net do (slower: some
// milliseconds each).
#include "core/peer_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "sock_diag.h"
#include "table_files.h"
#include "tcp_table.h"

namespace otp_service {

namespace {

Account uid_account(socket_uid uid) {
  return "uid " + std::to_string(uid);
}

// Set once, when the process enters its user namespace; an unreadable map
// counts as a namespace.
bool identity_map() {
  static const bool identity =
    identity_uid_map(read_text_file("/proc/self/uid_map").text.value_or(""));
  return identity;
}

// Inside a user namespace the tables show every owner outside it as the
// overflow uid (or as nobody): such a uid stands for no account in particular.
bool stands_for_anyone(socket_uid uid) {
  static const socket_uid overflow =
    overflow_uid(read_text_file("/proc/sys/kernel/overflowuid").text.value_or(""));
  return (uid == overflow || uid == 65534) && !identity_map();
}

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

// Our end (getsockname) or theirs (getpeername).
template <class F>
std::optional<tcp_endpoint> end_of(int fd, F get) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  if (get(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    return std::nullopt;
  return endpoint_of(addr);
}

// The same answer from /proc/net/tcp and tcp6; none, with `why`, when they
// cannot be read.
std::optional<socket_uid> owner_in_tables(const tcp_endpoint& ours, const tcp_endpoint& theirs,
                                          std::string& why) {
  auto rows = read_socket_tables("/proc/net/tcp", "/proc/net/tcp6", why);
  if (!rows)
    return std::nullopt;
  return peer_owner(*rows, ours, theirs);
}

} // namespace

PeerOwner owner_of_peer(caf::io::network::native_socket fd) {
  auto ours = end_of(fd, ::getsockname);
  auto theirs = end_of(fd, ::getpeername);
  if (!ours || !theirs)
    return {std::nullopt, std::string{"the connection's ends are unknown: "} + std::strerror(errno)};
  std::string why;
  std::optional<socket_uid> uid;
  if (auto diag = ask_sock_diag(*ours, *theirs); diag.usable) {
    uid = diag.owner;
    why = diag.why;
  } else {
    uid = owner_in_tables(*ours, *theirs, why);
  }
  if (!why.empty())
    return {std::nullopt, why};
  if (!uid)
    return {std::nullopt, "no process holds the other end"};
  if (stands_for_anyone(*uid))
    return {std::nullopt, "uid " + std::to_string(*uid)
                            + " stands for any account outside this user namespace"};
  return {uid_account(*uid), {}};
}

std::vector<Account> own_accounts() {
  std::vector<Account> accounts{uid_account(::geteuid())};
  if (::geteuid() != 0 && identity_map())
    accounts.push_back(uid_account(0));
  return accounts;
}

std::optional<Account> account_named(std::string_view name) {
  socket_uid uid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), uid);
  if (!name.empty() && ec == std::errc{} && end == name.data() + name.size())
    return uid_account(uid);
  std::string text{name};
  passwd entry{};
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwnam_r(text.c_str(), &entry, buf, sizeof buf, &found) != 0 || !found)
    return std::nullopt;
  return uid_account(found->pw_uid);
}

} // namespace otp_service
