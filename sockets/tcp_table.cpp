#include "tcp_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace {

using address = tcp_socket_row::address;

// A 32-bit word whose bytes lie in memory in this order: how the kernel
// keeps (and prints) each word of an address.
uint32_t word_of(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char bytes[4] = {a, b, c, d};
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

const address loopback = ipv4_in_ipv6(word_of(127, 0, 0, 1));

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

// Calls `f` with each line of `text`.
template <class F>
void for_each_line(std::string_view text, F f) {
  while (!text.empty()) {
    auto end = text.find('\n');
    f(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
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

} // namespace

address ipv4_in_ipv6(uint32_t ipv4) {
  return {0, 0, word_of(0, 0, 0xFF, 0xFF), ipv4};
}

bool reaches_loopback(const address& local) {
  return local == loopback                 // 127.0.0.1, also IPv6's form of it
         || local == ipv4_in_ipv6(0)       // 0.0.0.0
         || local == address{};            // ::
}

std::vector<tcp_socket_row> parse_tcp_table(std::string_view text) {
  std::vector<tcp_socket_row> rows;
  for_each_line(text, [&](std::string_view line) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
    auto fields = fields_of(line);
    if (fields.size() < 10 || fields[0].size() < 2 || fields[0].back() != ':')
      return;
    tcp_socket_row row;
    auto state = number<unsigned>(fields[3], 16);
    auto uid = number<socket_uid>(fields[7], 10);
    auto inode = number<uint64_t>(fields[9], 10);
    if (!number<unsigned>(fields[0].substr(0, fields[0].size() - 1), 10) || !state || !uid
        || !inode || !endpoint_of(fields[1], row.local_address, row.local_port)
        || !endpoint_of(fields[2], row.remote_address, row.remote_port))
      return;
    row.state = *state;
    row.uid = *uid;
    row.inode = *inode;
    rows.push_back(row);
  });
  return rows;
}

std::vector<socket_uid> loopback_listener_owners(std::string_view proc_net_tcp, uint16_t port) {
  std::vector<socket_uid> owners;
  for (auto& row : parse_tcp_table(proc_net_tcp))
    if (row.state == tcp_listen && row.local_port == port && reaches_loopback(row.local_address))
      owners.push_back(row.uid);
  return owners;
}

std::optional<socket_uid> peer_owner(const std::vector<tcp_socket_row>& rows,
                                     const tcp_endpoint& ours, const tcp_endpoint& theirs) {
  for (auto& row : rows)
    if (row.state == tcp_established && row.local_port == theirs.port
        && row.local_address == theirs.address && row.remote_port == ours.port
        && row.remote_address == ours.address)
      return row.inode != 0 ? std::optional<socket_uid>{row.uid} : std::nullopt;
  return std::nullopt;
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
  return service_ends(
    rows,
    [&](const tcp_socket_row& row) {
      return row.inode != 0
             && std::find(our_sockets.begin(), our_sockets.end(), row.inode) != our_sockets.end();
    },
    port);
}

std::vector<service_end> service_ends(const std::vector<tcp_socket_row>& rows,
                                      const std::function<bool(const tcp_socket_row&)>& ours,
                                      uint16_t port) {
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

socket_uid first_regular_uid(std::string_view login_defs) {
  socket_uid first = 1000;
  bool found = false;
  for_each_line(login_defs, [&](std::string_view line) {
    auto fields = fields_of(line);
    if (!found && fields.size() >= 2 && fields[0] == "UID_MIN")
      if (auto uid = number<socket_uid>(fields[1], 10)) {
        first = *uid;
        found = true;
      }
  });
  return first;
}

bool identity_uid_map(std::string_view uid_map) {
  std::vector<std::vector<std::string_view>> lines;
  for_each_line(uid_map, [&](std::string_view line) {
    if (auto fields = fields_of(line); !fields.empty())
      lines.push_back(std::move(fields));
  });
  if (lines.size() != 1)
    return false;
  auto& fields = lines[0];
  return fields.size() == 3 && number<uint32_t>(fields[0], 10) == 0u
         && number<uint32_t>(fields[1], 10) == 0u
         && number<uint32_t>(fields[2], 10) == 4294967295u;
}

socket_uid overflow_uid(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.remove_suffix(1);
  return number<socket_uid>(text, 10).value_or(65534);
}

std::optional<socket_uid> status_effective_uid(std::string_view status) {
  std::optional<socket_uid> uid;
  for_each_line(status, [&](std::string_view line) {
    auto fields = fields_of(line);
    if (!uid && fields.size() >= 3 && fields[0] == "Uid:")
      uid = number<socket_uid>(fields[2], 10);
  });
  return uid;
}
