#include "service_owner.h"

#include "table_files.h"

namespace {

constexpr socket_uid nobody = 65534;

std::string not_trusted(socket_uid owner, const uid_view& uids) {
  auto text = " belongs to uid " + std::to_string(owner) + ", which is not trusted";
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    text += ": inside a user namespace it stands for any owner outside it";
  return text;
}

std::string connection_to(uint16_t port) {
  return "The service's end of the connection to 127.0.0.1:" + std::to_string(port);
}

} // namespace

std::function<void()> service_connect_hook;

bool trusted_owner(socket_uid owner, const uid_view& uids) {
  if (!uids.identity_map && (owner == nobody || owner == uids.overflow))
    return false;
  return owner == 0 || owner < uids.first_regular || owner == nobody || owner == uids.user;
}

// An unreadable map counts as a namespace: 65534 is then not trusted.
uid_view uids_seen(const proc_sources& from, socket_uid user) {
  uid_view uids;
  uids.user = user;
  uids.first_regular = first_regular_uid(read_text_file(from.login_defs).text.value_or(""));
  uids.identity_map = identity_uid_map(read_text_file(from.uid_map).text.value_or(""));
  uids.overflow = overflow_uid(read_text_file(from.overflow_uid).text.value_or(""));
  return uids;
}

std::optional<std::string> listener_distrust(uint16_t port, const proc_sources& from,
                                             socket_uid user) {
  const auto where = "The listener on 127.0.0.1:" + std::to_string(port);
  const auto uids = uids_seen(from, user);
  std::string why;
  auto rows = read_socket_tables(from.tcp, from.tcp6, why);
  if (!rows)
    return where + " cannot be checked: " + why;
  for (auto& row : *rows)
    if (row.state == tcp_listen && row.local_port == port && reaches_loopback(row.local_address)
        && !trusted_owner(row.uid, uids))
      return where + not_trusted(row.uid, uids);
  return std::nullopt;
}

std::optional<std::string> connection_distrust(
  uint16_t port, const proc_sources& from, socket_uid user,
  const std::function<bool(const tcp_socket_row&)>& ours) {
  const auto uids = uids_seen(from, user);
  std::string why;
  auto rows = read_socket_tables(from.tcp, from.tcp6, why);
  if (!rows)
    return connection_to(port) + " cannot be checked: " + why;
  auto ends = service_ends(*rows, ours, port);
  if (ends.empty())
    return connection_to(port) + " cannot be found";
  for (auto& end : ends) {
    if (!end.owner)
      return connection_to(port) + " (our port " + std::to_string(end.our_port)
             + ") cannot be found";
    if (!trusted_owner(*end.owner, uids))
      return connection_to(port) + not_trusted(*end.owner, uids);
  }
  return std::nullopt;
}

std::optional<std::string> windows_distrust(const std::string& what, const windows_owner& owner,
                                            const std::string& own) {
  if (owner.pid == 0)
    return what + " has no known owner process";
  if (owner.account && *owner.account == own)
    return std::nullopt;
  if (owner.service_account)
    return std::nullopt;
  if (!owner.account)
    return what + " belongs to process " + std::to_string(owner.pid)
           + ", whose account cannot be told: " + owner.why;
  return what + " belongs to " + *owner.account + ", which is not trusted";
}
