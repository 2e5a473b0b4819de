#pragma once

// Reading the socket tables and the other small files the owner checks need.
// Files in /proc (and Wine's view of them, Z:\proc\...) report a size of 0:
// these read until the end of the file.

#include <optional>
#include <string>
#include <vector>

#include "tcp_table.h"

// A file's text, or why it could not be read (an errno value).
struct file_text {
  std::optional<std::string> text;
  int error = 0;
};

file_text read_text_file(const std::string& path);

// "PATH is unreadable (REASON)".
std::string unreadable(const std::string& path, int error);

// The rows of both tables; none, with `why` saying which one cannot be
// read, when one cannot. A missing tcp6 is a machine without IPv6: no rows.
std::optional<std::vector<tcp_socket_row>> read_socket_tables(const std::string& tcp,
                                                              const std::string& tcp6,
                                                              std::string& why);
