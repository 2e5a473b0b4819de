#include "service_owner.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

constexpr uid_t nobody = 65534;
constexpr uid_t default_first_regular = 1000;

// The local addresses that a connection to 127.0.0.1 reaches, as
// /proc/net/tcp and tcp6 print them (upper-case hex, in the kernel's order).
constexpr std::string_view loopback_addresses[] = {
  "0100007F",                         // 127.0.0.1
  "00000000",                         // 0.0.0.0
  "00000000000000000000000000000000", // ::
  "0000000000000000FFFF00000100007F", // ::ffff:127.0.0.1
};

constexpr std::string_view listen_state = "0A";

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

bool accepts_loopback(std::string_view local, uint16_t port) {
  auto colon = local.find(':');
  if (colon == std::string_view::npos)
    return false;
  auto local_port = number<uint16_t>(local.substr(colon + 1), 16);
  if (!local_port || *local_port != port)
    return false;
  auto address = local.substr(0, colon);
  for (auto candidate : loopback_addresses)
    if (address == candidate)
      return true;
  return false;
}

[[maybe_unused]] std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

std::vector<uid_t> loopback_listener_owners(std::string_view proc_net_tcp, uint16_t port) {
  std::vector<uid_t> owners;
  while (!proc_net_tcp.empty()) {
    auto end = proc_net_tcp.find('\n');
    auto line = proc_net_tcp.substr(0, end);
    proc_net_tcp.remove_prefix(end == std::string_view::npos ? proc_net_tcp.size() : end + 1);
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
    auto fields = fields_of(line);
    if (fields.size() < 8 || fields[0].empty() || fields[0].back() != ':')
      continue;
    if (fields[3] != listen_state || !accepts_loopback(fields[1], port))
      continue;
    if (auto uid = number<uid_t>(fields[7], 10))
      owners.push_back(*uid);
  }
  return owners;
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

bool trusted_owner(uid_t owner, uid_t user, uid_t first_regular) {
  return owner == 0 || owner < first_regular || owner == nobody || owner == user;
}

std::optional<std::string> untrusted_service_listener(uint16_t port, const proc_sources& from) {
#if defined(__linux__) && !defined(TOVRIN_NO_SERVICE_OWNER_CHECK)
  const auto first_regular = first_regular_uid(read_file(from.login_defs));
  for (auto table : {&from.tcp, &from.tcp6})
    for (auto owner : loopback_listener_owners(read_file(*table), port))
      if (!trusted_owner(owner, ::getuid(), first_regular))
        return "The listener on 127.0.0.1:" + std::to_string(port) + " belongs to uid "
               + std::to_string(owner) + ", which is not trusted";
#else
  (void) port;
  (void) from;
#endif
  return std::nullopt;
}
