#include "sim_process.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>
#include <vector>

namespace testing_support {

std::string write_temp_config(const std::string& json) {
  // Unique across the test processes that run side by side.
  static const auto run = std::random_device{}();
  static int n = 0;
  auto path = std::filesystem::temp_directory_path()
              / ("tovrin-sim-key-" + std::to_string(run) + "-" + std::to_string(n++) + ".json");
  std::ofstream{path} << json;
  return path.string();
}

namespace {

std::vector<std::string> sim_args(std::vector<std::string> args, const std::string& executable,
                                  const std::string& config_json, uint16_t port,
                                  const std::vector<std::string>& options) {
  args.insert(args.end(), {executable, "--port", std::to_string(port)});
  args.insert(args.end(), options.begin(), options.end());
  if (!config_json.empty()) {
    args.push_back("--config");
    args.push_back(write_temp_config(config_json));
  }
  return args;
}

} // namespace

SimProcess::SimProcess(const std::string& executable, const std::string& config_json,
                       std::vector<std::string> launcher, uint16_t port,
                       const std::vector<std::string>& options)
  : proc_(sim_args(std::move(launcher), executable, config_json, port, options)) {
  if (!proc_.wait_for_output("serving on", std::chrono::seconds(10)))
    throw std::runtime_error("fido-otp-sim did not start: " + proc_.output());
  std::smatch m;
  auto out = proc_.output();
  if (!std::regex_search(out, m, std::regex("serving on 127\\.0\\.0\\.1:(\\d+)")))
    throw std::runtime_error("fido-otp-sim named no port: " + out);
  port_ = static_cast<uint16_t>(std::stoi(m[1]));
}

} // namespace testing_support
