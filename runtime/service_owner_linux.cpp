// Linux: the owners in /proc/net/tcp and tcp6; our own sockets are the ones
// in /proc/self/fd.
#include "service_owner.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "table_files.h"

namespace {

// The inodes of this process's sockets, from the links in `fd_dir`.
std::optional<std::vector<uint64_t>> socket_inodes(const std::string& fd_dir, int& error) {
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

} // namespace

std::optional<std::string> untrusted_service_listener(uint16_t port, const proc_sources& from) {
  return listener_distrust(port, from, ::getuid());
}

std::optional<std::string> untrusted_service_connection(uint16_t port, const proc_sources& from) {
  int error = 0;
  auto inodes = socket_inodes(from.fd_dir, error);
  if (!inodes)
    return "The service's end of the connection to 127.0.0.1:" + std::to_string(port)
           + " cannot be checked: " + unreadable(from.fd_dir, error);
  return connection_distrust(port, from, ::getuid(), [&](const tcp_socket_row& row) {
    return row.inode != 0 && std::find(inodes->begin(), inodes->end(), row.inode) != inodes->end();
  });
}
