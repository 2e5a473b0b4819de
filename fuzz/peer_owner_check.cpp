// Bytes as what the owner checks read: the text of a socket table (first byte
// 0) or the kernel's sock_diag answer (first byte 1).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "sock_diag.h"
#include "tcp_table.h"

namespace fuzz_checks {

namespace {

std::string word(uint32_t w) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", w);
  return text;
}

std::string endpoint(const tcp_socket_row::address& a, uint16_t port) {
  char p[5];
  std::snprintf(p, sizeof p, "%04X", port);
  return word(a[0]) + word(a[1]) + word(a[2]) + word(a[3]) + ":" + p;
}

// A row as the kernel prints it (tcp6's form).
std::string print(const tcp_socket_row& row) {
  char tail[96];
  std::snprintf(tail, sizeof tail, " %02X 00000000:00000000 00:00000000 00000000 %u 0 %llu\n",
                row.state, row.uid, static_cast<unsigned long long>(row.inode));
  return "0: " + endpoint(row.local_address, row.local_port) + " "
         + endpoint(row.remote_address, row.remote_port) + tail;
}

bool same(const tcp_socket_row& a, const tcp_socket_row& b) {
  return a.local_address == b.local_address && a.local_port == b.local_port
         && a.remote_address == b.remote_address && a.remote_port == b.remote_port
         && a.state == b.state && a.uid == b.uid && a.inode == b.inode;
}

std::string table(std::string_view text) {
  const auto rows = parse_tcp_table(text);
  std::string printed;
  for (auto& row : rows)
    printed += print(row);
  const auto again = parse_tcp_table(printed);
  if (again.size() != rows.size())
    return "printed rows parse to another number of rows";
  for (size_t i = 0; i < rows.size(); ++i)
    if (!same(rows[i], again[i]))
      return "a row printed and parsed again differs";
  // Every row asked for as the other end of a connection.
  for (auto& row : rows) {
    auto owner = ::peer_owner(rows, {row.remote_address, row.remote_port},
                            {row.local_address, row.local_port});
    if (!owner)
      continue;
    bool found = false;
    for (auto& r : rows)
      found = found || (r.state == tcp_established && r.inode != 0 && r.uid == *owner
                        && r.local_address == row.local_address && r.local_port == row.local_port
                        && r.remote_address == row.remote_address
                        && r.remote_port == row.remote_port);
    if (!found)
      return "an owner that no established row with those ends has";
  }
  identity_uid_map(text);
  first_regular_uid(text);
  overflow_uid(text);
  return {};
}

std::string diag_reply(const uint8_t* data, size_t size) {
  sock_diag_owner(data, size);
  // A query built from the input's ends has the length it says.
  tcp_endpoint ours, theirs;
  if (size >= 4) {
    ours.port = static_cast<uint16_t>(data[0] << 8 | data[1]);
    theirs.port = static_cast<uint16_t>(data[2] << 8 | data[3]);
  }
  auto query = sock_diag_query(ours, theirs);
  uint32_t length;
  std::memcpy(&length, query.data(), sizeof length);
  if (length != query.size())
    return "a query whose header gives another length";
  return {};
}

} // namespace

std::string peer_owner(const uint8_t* data, size_t size) {
  if (size == 0)
    return {};
  if (data[0] == 0)
    return table({reinterpret_cast<const char*>(data + 1), size - 1});
  return diag_reply(data + 1, size - 1);
}

} // namespace fuzz_checks
