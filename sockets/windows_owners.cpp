#include "windows_owners.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstring>
#include <memory>

#include "table_files.h"

namespace {

// Linux's state numbers for the two states the checks look at.
unsigned linux_state(DWORD state) {
  switch (state) {
    case MIB_TCP_STATE_ESTAB: return tcp_established;
    case MIB_TCP_STATE_LISTEN: return tcp_listen;
    default: return 0x100 + state; // neither
  }
}

tcp_socket_row row_of(const tcp_socket_row::address& local, DWORD local_port,
                      const tcp_socket_row::address& remote, DWORD remote_port, DWORD state,
                      DWORD pid) {
  tcp_socket_row row;
  row.local_address = local;
  row.local_port = ntohs(static_cast<u_short>(local_port));
  row.remote_address = remote;
  row.remote_port = ntohs(static_cast<u_short>(remote_port));
  row.state = linux_state(state);
  row.uid = pid;
  row.inode = pid; // no process: no owner
  return row;
}

// GetExtendedTcpTable's answer for one family, grown until it fits.
template <class Table>
bool read_table(ULONG family, std::vector<char>& buf, std::string& why) {
  DWORD size = static_cast<DWORD>(buf.size());
  for (int tries = 0; tries < 4; ++tries) {
    auto status = GetExtendedTcpTable(buf.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    if (status == NO_ERROR)
      return true;
    if (status != ERROR_INSUFFICIENT_BUFFER) {
      why = "GetExtendedTcpTable failed (" + std::to_string(status) + ")";
      return false;
    }
    buf.resize(size + 4096);
    size = static_cast<DWORD>(buf.size());
  }
  why = "GetExtendedTcpTable kept growing";
  return false;
}

std::string sid_text(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text))
    return {};
  std::string result{text};
  LocalFree(text);
  return result;
}

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct ServiceHandleCloser {
  void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

std::optional<std::string> token_account(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> buf(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buf.data(), size, &size))
    return std::nullopt;
  auto text = sid_text(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
  if (text.empty())
    return std::nullopt;
  return text;
}

// The SID of the service manager's name for a system account.
std::optional<std::string> system_account_sid(const char* start_name) {
  if (!start_name || !*start_name || _stricmp(start_name, "LocalSystem") == 0)
    return "S-1-5-18";
  if (_stricmp(start_name, "NT AUTHORITY\\LocalService") == 0)
    return "S-1-5-19";
  if (_stricmp(start_name, "NT AUTHORITY\\NetworkService") == 0)
    return "S-1-5-20";
  return std::nullopt;
}

} // namespace

std::optional<std::vector<tcp_socket_row>> windows_tcp_rows(std::string& why) {
  std::vector<tcp_socket_row> rows;
  std::vector<char> buf(16384);
  if (!read_table<MIB_TCPTABLE_OWNER_PID>(AF_INET, buf, why))
    return std::nullopt;
  auto v4 = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buf.data());
  for (DWORD i = 0; i < v4->dwNumEntries; ++i) {
    auto& r = v4->table[i];
    rows.push_back(row_of(ipv4_in_ipv6(r.dwLocalAddr), r.dwLocalPort,
                          ipv4_in_ipv6(r.dwRemoteAddr), r.dwRemotePort, r.dwState,
                          r.dwOwningPid));
  }
  std::string why6;
  if (read_table<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, buf, why6)) {
    auto v6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buf.data());
    for (DWORD i = 0; i < v6->dwNumEntries; ++i) {
      auto& r = v6->table[i];
      tcp_socket_row::address local, remote;
      std::memcpy(local.data(), r.ucLocalAddr, sizeof local);
      std::memcpy(remote.data(), r.ucRemoteAddr, sizeof remote);
      rows.push_back(row_of(local, r.dwLocalPort, remote, r.dwRemotePort, r.dwState,
                            r.dwOwningPid));
    }
  }
  return rows;
}

std::optional<std::string> process_account(uint32_t pid, std::string& why) {
  Handle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
  if (!process) {
    why = "process " + std::to_string(pid) + " cannot be opened (" + std::to_string(GetLastError())
          + ")";
    return std::nullopt;
  }
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) {
    why = "the token of process " + std::to_string(pid) + " cannot be opened ("
          + std::to_string(GetLastError()) + ")";
    return std::nullopt;
  }
  Handle token{raw};
  auto account = token_account(token.get());
  if (!account)
    why = "the account of process " + std::to_string(pid) + " cannot be read";
  return account;
}

std::optional<std::string> system_service_account(uint32_t pid) {
  ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE)};
  if (!manager)
    return std::nullopt;
  DWORD needed = 0, count = 0, resume = 0;
  EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                        nullptr, 0, &needed, &count, &resume, nullptr);
  std::vector<char> buf(needed + 4096);
  resume = 0;
  if (!EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                             reinterpret_cast<LPBYTE>(buf.data()), static_cast<DWORD>(buf.size()),
                             &needed, &count, &resume, nullptr))
    return std::nullopt;
  auto services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buf.data());
  for (DWORD i = 0; i < count; ++i) {
    if (services[i].ServiceStatusProcess.dwProcessId != pid)
      continue;
    ServiceHandle service{
      OpenServiceA(manager.get(), services[i].lpServiceName, SERVICE_QUERY_CONFIG)};
    if (!service)
      return std::nullopt;
    DWORD size = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &size);
    std::vector<char> config(size);
    if (size == 0 || !QueryServiceConfigA(service.get(),
                                          reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data()),
                                          size, &size))
      return std::nullopt;
    return system_account_sid(
      reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(config.data())->lpServiceStartName);
  }
  return std::nullopt;
}

std::string own_account() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    return {};
  Handle token{raw};
  return token_account(token.get()).value_or("");
}

std::optional<std::string> windows_account_named(const std::string& name) {
  DWORD sid_size = 0, domain_size = 0;
  SID_NAME_USE use;
  LookupAccountNameA(nullptr, name.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0)
    return std::nullopt;
  std::vector<char> sid(sid_size), domain(domain_size + 1);
  if (!LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sid_size, domain.data(),
                          &domain_size, &use))
    return std::nullopt;
  auto text = sid_text(sid.data());
  if (text.empty())
    return std::nullopt;
  return text;
}

bool under_wine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

std::string linux_path(const std::string& path) {
  std::string windows = "Z:" + path;
  for (auto& c : windows)
    if (c == '/')
      c = '\\';
  return windows;
}

std::optional<socket_uid> wine_unix_uid() {
  auto status = read_text_file(linux_path("/proc/self/status"));
  return status.text ? status_effective_uid(*status.text) : std::nullopt;
}
