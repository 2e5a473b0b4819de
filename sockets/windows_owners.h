#pragma once

// Windows: who owns a TCP socket. The system's TCP table gives the owning
// process of each socket, the process's token its account. Wine answers the
// table with every owner process 0, but runs on Linux: there the Linux
// tables are readable through Z:\proc, with this process's Unix uid.
// Windows only; SIDs travel as their text ("S-1-5-21-...").

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tcp_table.h"

// The IPv4 and IPv6 TCP tables in the form of Linux's rows: `uid` holds the
// owning process's id, and a row without one (process 0) counts as held by
// no process (inode 0). None, with `why`, when the table cannot be read.
std::optional<std::vector<tcp_socket_row>> windows_tcp_rows(std::string& why);

// The account (SID) that runs process `pid`; none, with `why`, when its token
// cannot be read (a standard user cannot open a SYSTEM process's token).
std::optional<std::string> process_account(uint32_t pid, std::string& why);

// The account the service manager runs process `pid` as, when it is a running
// service of one of the system's own accounts (LocalSystem, LocalService,
// NetworkService): their SIDs S-1-5-18, -19 and -20. None otherwise.
std::optional<std::string> system_service_account(uint32_t pid);

// This process's account (SID).
std::string own_account();

// The SID of the account named `name` ("alice", "DOMAIN\\alice"); none
// when there is no such account.
std::optional<std::string> windows_account_named(const std::string& name);

// Whether this process runs under Wine (ntdll.dll exports wine_get_version).
bool under_wine();

// Under Wine: Linux's files as Windows paths (Z:\proc\net\tcp ...).
std::string linux_path(const std::string& path);

// Under Wine: this process's Unix uid, from Z:\proc\self\status ("Uid:"
// line, the effective uid); none when it cannot be read.
std::optional<socket_uid> wine_unix_uid();
