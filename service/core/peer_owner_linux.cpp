// Linux: the kernel's socket diagnostics tell who owns the other end; where
// netlink is not allowed, the socket tables in /proc/net do (slower: some
// milliseconds each).
#include "core/peer_owner.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/linux_rule.h"
#include "sock_diag.h"
#include "socket_ends.h"

namespace otp_service {

namespace {

std::string on_linux(const std::string& path) {
  return path;
}

} // namespace

PeerOwner owner_of_peer(caf::io::network::native_socket fd) {
  auto ends = ends_of_socket(static_cast<std::uintptr_t>(fd));
  if (!ends)
    return {std::nullopt, std::string{"the connection's ends are unknown: "} + std::strerror(errno)};
  std::string why;
  std::optional<socket_uid> uid;
  if (auto diag = ask_sock_diag(ends->ours, ends->theirs); diag.usable) {
    uid = diag.owner;
    why = diag.why;
  } else {
    uid = owner_in_tables(ends->ours, ends->theirs, on_linux, why);
  }
  return peer_of_uid(uid, why, on_linux);
}

std::vector<Account> own_accounts() {
  return accounts_of_uid(::geteuid(), on_linux);
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
