#pragma once

// The fido-otp-sim executable as a child process on a free port.

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace testing_support {

// Writes a key configuration to a fresh temporary file; returns its path.
std::string write_temp_config(const std::string& json);

class SimProcess {
public:
  // Starts `executable` with the given key configuration (JSON text; empty
  // for the default key) and waits until it serves, on `port` or (0) a free
  // one. A `launcher` command (such as setpriv with its options) runs the
  // executable when given; `options` go to the executable.
  SimProcess(const std::string& executable, const std::string& config_json = "",
             std::vector<std::string> launcher = {}, uint16_t port = 0,
             const std::vector<std::string>& options = {});

  uint16_t port() const { return port_; }
  std::string output() const { return proc_.output(); }
  void kill() { proc_.kill_now(); }

private:
  ChildProcess proc_;
  uint16_t port_ = 0;
};

} // namespace testing_support
