#include "table_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

file_text read_text_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    return {std::nullopt, errno};
  std::string text;
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
    text.append(buf, n);
  const int error = std::ferror(file) ? (errno ? errno : EIO) : 0;
  std::fclose(file);
  if (error)
    return {std::nullopt, error};
  return {std::move(text), 0};
}

std::string unreadable(const std::string& path, int error) {
  return path + " is unreadable (" + std::strerror(error) + ")";
}

std::optional<std::vector<tcp_socket_row>> read_socket_tables(const std::string& tcp,
                                                              const std::string& tcp6,
                                                              std::string& why) {
  std::vector<tcp_socket_row> rows;
  for (auto [path, may_be_missing] : {std::pair{&tcp, false}, std::pair{&tcp6, true}}) {
    auto table = read_text_file(*path);
    if (!table.text && table.error == ENOENT && may_be_missing)
      continue;
    if (!table.text) {
      why = unreadable(*path, table.error);
      return std::nullopt;
    }
    auto more = parse_tcp_table(*table.text);
    rows.insert(rows.end(), more.begin(), more.end());
  }
  return rows;
}
