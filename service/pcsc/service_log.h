// Where fido-otp-service writes its log and its errors: standard output and
// standard error on Linux (the journal, under systemd); on Windows, where a
// program started at log-on has no console, a file in %LOCALAPPDATA%. One
// source file each.
#pragma once

#include <ostream>

struct ServiceLog {
  std::ostream& out; // the request log
  std::ostream& err; // what ends the program
};

ServiceLog open_service_log();
