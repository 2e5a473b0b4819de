#include "service_owner.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>

#include "table_files.h"

namespace {

constexpr socket_uid nobody = 65534;

// An unreadable map counts as a namespace: 65534 is then not trusted.
[[maybe_unused]] uid_view uids_seen(const proc_sources& from) {
  uid_view uids;
  uids.user = ::getuid();
  uids.first_regular = first_regular_uid(read_text_file(from.login_defs).text.value_or(""));
  uids.identity_map = identity_uid_map(read_text_file(from.uid_map).text.value_or(""));
  uids.overflow = overflow_uid(read_text_file(from.overflow_uid).text.value_or(""));
  return uids;
}

// The inodes of this process's sockets, from the links in `fd_dir`.
[[maybe_unused]] std::optional<std::vector<uint64_t>> socket_inodes(const std::string& fd_dir,
                                                                    int& error) {
  auto dir = ::opendir(fd_dir.c_str());
  if (!dir) {
    error = errno;
    return std::nullopt;
  }
  std::vector<uint64_t> inodes;
  while (auto entry = ::readdir(dir)) {
    auto link = fd_dir + "/" + entry->d_name;
    char target[64];
    auto n = ::readlink(link.c_str(), target, sizeof target);
    if (n > 0)
      if (auto inode = socket_inode(std::string_view(target, static_cast<size_t>(n))))
        inodes.push_back(*inode);
  }
  ::closedir(dir);
  return inodes;
}

[[maybe_unused]] std::string not_trusted(socket_uid owner, const uid_view& uids) {
  auto text = " belongs to uid " + std::to_string(owner) + ", which is not trusted";
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    text += ": inside a user namespace it stands for any owner outside it";
  return text;
}

} // namespace

std::function<void()> service_connect_hook;

bool trusted_owner(socket_uid owner, const uid_view& uids) {
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    return false;
  return owner == 0 || owner < uids.first_regular || owner == nobody || owner == uids.user;
}

std::optional<std::string> untrusted_service_listener(uint16_t port, const proc_sources& from) {
#if defined(__linux__) && !defined(TOVRIN_NO_SERVICE_OWNER_CHECK)
  const auto where = "The listener on 127.0.0.1:" + std::to_string(port);
  const auto uids = uids_seen(from);
  std::string why;
  auto rows = read_socket_tables(from.tcp, from.tcp6, why);
  if (!rows)
    return where + " cannot be checked: " + why;
  for (auto& row : *rows)
    if (row.state == tcp_listen && row.local_port == port && reaches_loopback(row.local_address)
        && !trusted_owner(row.uid, uids))
      return where + not_trusted(row.uid, uids);
#else
  (void) port;
  (void) from;
#endif
  return std::nullopt;
}

std::optional<std::string> untrusted_service_connection(uint16_t port, const proc_sources& from) {
#if defined(__linux__) && !defined(TOVRIN_NO_SERVICE_OWNER_CHECK)
  const auto connection = "the connection to 127.0.0.1:" + std::to_string(port);
  const auto uids = uids_seen(from);
  int error = 0;
  auto inodes = socket_inodes(from.fd_dir, error);
  if (!inodes)
    return "The service's end of " + connection + " cannot be checked: "
           + unreadable(from.fd_dir, error);
  std::string why;
  auto rows = read_socket_tables(from.tcp, from.tcp6, why);
  if (!rows)
    return "The service's end of " + connection + " cannot be checked: " + why;
  auto ends = service_ends(*rows, *inodes, port);
  if (ends.empty())
    return "The service's end of " + connection + " cannot be found";
  for (auto& end : ends) {
    if (!end.owner)
      return "The service's end of " + connection + " (our port " + std::to_string(end.our_port)
             + ") cannot be found";
    if (!trusted_owner(*end.owner, uids))
      return "The service's end of " + connection + not_trusted(*end.owner, uids);
  }
#else
  (void) port;
  (void) from;
#endif
  return std::nullopt;
}
