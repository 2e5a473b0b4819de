#include "service_owner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

constexpr uid_t nobody = 65534;
constexpr uid_t default_first_regular = 1000;

constexpr unsigned tcp_established = 0x01;
constexpr unsigned tcp_listen = 0x0A;

using address = tcp_socket_row::address;

address ipv4_in_ipv6(uint32_t ipv4) {
  return {0, 0, htonl(0xFFFF), ipv4};
}

// The local addresses that a connection to 127.0.0.1 reaches.
bool reaches_loopback(const address& local) {
  return local == ipv4_in_ipv6(htonl(INADDR_LOOPBACK)) // 127.0.0.1, also IPv6's form of it
         || local == ipv4_in_ipv6(htonl(INADDR_ANY))   // 0.0.0.0
         || local == address{};                        // ::
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> result;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
      ++i;
    if (i > start)
      result.push_back(line.substr(start, i - start));
  }
  return result;
}

template <class T>
std::optional<T> number(std::string_view text, int base) {
  T value{};
  auto end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end)
    return std::nullopt;
  return value;
}

// The kernel prints each 32-bit word of an address as the number that its
// four bytes make on this machine ("%08X"), so reading the word back as a
// number gives the bytes as they lie in memory.
std::optional<address> address_of(std::string_view hex) {
  if (hex.size() != 8 && hex.size() != 32)
    return std::nullopt;
  address words{};
  for (size_t i = 0; i * 8 < hex.size(); ++i) {
    auto w = number<uint32_t>(hex.substr(i * 8, 8), 16);
    if (!w)
      return std::nullopt;
    words[i] = *w;
  }
  if (hex.size() == 8)
    return ipv4_in_ipv6(words[0]);
  return words;
}

bool endpoint_of(std::string_view text, address& addr, uint16_t& port) {
  auto colon = text.find(':');
  if (colon == std::string_view::npos)
    return false;
  auto a = address_of(text.substr(0, colon));
  auto p = number<uint16_t>(text.substr(colon + 1), 16);
  if (!a || !p || text.size() - colon - 1 != 4)
    return false;
  addr = *a;
  port = *p;
  return true;
}

// A file's text, or why it could not be read.
struct file_text {
  std::optional<std::string> text;
  int error = 0;
};

[[maybe_unused]] file_text read_whole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return {std::nullopt, errno};
  std::string text;
  char buf[8192];
  for (;;) {
    auto n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      return {std::nullopt, error};
    }
    if (n == 0)
      break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return {std::move(text), 0};
}

// The text of a socket table; a missing tcp6 is a machine without IPv6.
[[maybe_unused]] file_text read_table(const std::string& path, bool may_be_missing) {
  auto result = read_whole(path);
  if (!result.text && result.error == ENOENT && may_be_missing)
    return {std::string{}, 0};
  return result;
}

[[maybe_unused]] std::string unreadable(const std::string& path, int error) {
  return path + " is unreadable (" + std::strerror(error) + ")";
}

// An unreadable map counts as a namespace: 65534 is then not trusted.
[[maybe_unused]] uid_view uids_seen(const proc_sources& from) {
  uid_view uids;
  uids.user = ::getuid();
  uids.first_regular = first_regular_uid(read_whole(from.login_defs).text.value_or(""));
  uids.identity_map = identity_uid_map(read_whole(from.uid_map).text.value_or(""));
  auto overflow = read_whole(from.overflow_uid).text.value_or("");
  while (!overflow.empty() && (overflow.back() == '\n' || overflow.back() == ' '))
    overflow.pop_back();
  uids.overflow = number<uid_t>(overflow, 10).value_or(nobody);
  return uids;
}

// Both tables' rows; or, in `why`, which one cannot be read.
[[maybe_unused]] std::optional<std::vector<tcp_socket_row>> read_tables(const proc_sources& from,
                                                                        std::string& why) {
  std::vector<tcp_socket_row> rows;
  for (auto [path, may_be_missing] : {std::pair{&from.tcp, false}, std::pair{&from.tcp6, true}}) {
    auto table = read_table(*path, may_be_missing);
    if (!table.text) {
      why = unreadable(*path, table.error);
      return std::nullopt;
    }
    auto more = parse_tcp_table(*table.text);
    rows.insert(rows.end(), more.begin(), more.end());
  }
  return rows;
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

[[maybe_unused]] std::string not_trusted(uid_t owner, const uid_view& uids) {
  auto text = " belongs to uid " + std::to_string(owner) + ", which is not trusted";
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    text += ": inside a user namespace it stands for any owner outside it";
  return text;
}

} // namespace

std::function<void()> service_connect_hook;

std::vector<tcp_socket_row> parse_tcp_table(std::string_view text) {
  std::vector<tcp_socket_row> rows;
  while (!text.empty()) {
    auto end = text.find('\n');
    auto line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
    auto fields = fields_of(line);
    if (fields.size() < 10 || fields[0].size() < 2 || fields[0].back() != ':')
      continue;
    tcp_socket_row row;
    auto state = number<unsigned>(fields[3], 16);
    auto uid = number<uid_t>(fields[7], 10);
    auto inode = number<uint64_t>(fields[9], 10);
    if (!number<unsigned>(fields[0].substr(0, fields[0].size() - 1), 10) || !state || !uid
        || !inode || !endpoint_of(fields[1], row.local_address, row.local_port)
        || !endpoint_of(fields[2], row.remote_address, row.remote_port))
      continue;
    row.state = *state;
    row.uid = *uid;
    row.inode = *inode;
    rows.push_back(row);
  }
  return rows;
}

std::vector<uid_t> loopback_listener_owners(std::string_view proc_net_tcp, uint16_t port) {
  std::vector<uid_t> owners;
  for (auto& row : parse_tcp_table(proc_net_tcp))
    if (row.state == tcp_listen && row.local_port == port && reaches_loopback(row.local_address))
      owners.push_back(row.uid);
  return owners;
}

std::optional<uint64_t> socket_inode(std::string_view link_target) {
  constexpr std::string_view prefix = "socket:[";
  if (link_target.size() <= prefix.size() + 1 || link_target.substr(0, prefix.size()) != prefix
      || link_target.back() != ']')
    return std::nullopt;
  return number<uint64_t>(
    link_target.substr(prefix.size(), link_target.size() - prefix.size() - 1), 10);
}

std::vector<service_end> service_ends(const std::vector<tcp_socket_row>& rows,
                                      const std::vector<uint64_t>& our_sockets, uint16_t port) {
  const auto loopback = ipv4_in_ipv6(htonl(INADDR_LOOPBACK));
  auto ours = [&](const tcp_socket_row& row) {
    return row.inode != 0
           && std::find(our_sockets.begin(), our_sockets.end(), row.inode) != our_sockets.end();
  };
  std::vector<service_end> ends;
  for (auto& mine : rows) {
    if (!ours(mine) || mine.state != tcp_established || mine.remote_port != port
        || mine.remote_address != loopback)
      continue;
    service_end end{mine.local_port, std::nullopt};
    for (auto& other : rows)
      if (other.state == tcp_established && other.local_port == port
          && other.local_address == mine.remote_address && other.remote_port == mine.local_port
          && other.remote_address == mine.local_address) {
        end.owner = other.uid;
        break;
      }
    ends.push_back(end);
  }
  return ends;
}

uid_t first_regular_uid(std::string_view login_defs) {
  std::istringstream in{std::string(login_defs)};
  std::string line;
  while (std::getline(in, line)) {
    auto fields = fields_of(line);
    if (fields.size() >= 2 && fields[0] == "UID_MIN")
      if (auto uid = number<uid_t>(fields[1], 10))
        return *uid;
  }
  return default_first_regular;
}

bool identity_uid_map(std::string_view uid_map) {
  std::vector<std::string_view> lines;
  while (!uid_map.empty()) {
    auto end = uid_map.find('\n');
    if (auto fields = fields_of(uid_map.substr(0, end)); !fields.empty())
      lines.push_back(uid_map.substr(0, end));
    uid_map.remove_prefix(end == std::string_view::npos ? uid_map.size() : end + 1);
  }
  if (lines.size() != 1)
    return false;
  auto fields = fields_of(lines[0]);
  return fields.size() == 3 && number<uint32_t>(fields[0], 10) == 0u
         && number<uint32_t>(fields[1], 10) == 0u
         && number<uint32_t>(fields[2], 10) == 4294967295u;
}

bool trusted_owner(uid_t owner, const uid_view& uids) {
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    return false;
  return owner == 0 || owner < uids.first_regular || owner == nobody || owner == uids.user;
}

std::optional<std::string> untrusted_service_listener(uint16_t port, const proc_sources& from) {
#if defined(__linux__) && !defined(TOVRIN_NO_SERVICE_OWNER_CHECK)
  const auto where = "The listener on 127.0.0.1:" + std::to_string(port);
  const auto uids = uids_seen(from);
  std::string why;
  auto rows = read_tables(from, why);
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
  auto rows = read_tables(from, why);
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
