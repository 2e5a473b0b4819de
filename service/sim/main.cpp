// fido-otp-sim: the simulated FIDO OTP service, published on 127.0.0.1.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "caf/all.hpp"

#include "core/serve.h"
#include "sim/key_config.h"
#include "sim/sim_service.h"

namespace {

void usage(std::ostream& out) {
  out << "usage: fido-otp-sim [--port N] [--config FILE]\n"
         "\n"
         "Serves a simulated FIDO key as the FIDO OTP service on 127.0.0.1.\n"
         "  --port N       TCP port (default 12900; 0 picks a free one)\n"
         "  --config FILE  key configuration (JSON) instead of the default key\n"
         "  --help         this text\n\n"
      << sim::default_key_help() << "\n"
      << sim::config_help();
}

struct options {
  uint16_t port = fido_service_port;
  std::string config_path;
};

bool parse_args(int argc, char** argv, options& opts) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      std::exit(0);
    }
    if ((arg == "--port" || arg == "--config") && i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--config") {
        opts.config_path = value;
        continue;
      }
      auto port = otp_service::parse_port(value);
      if (!port) {
        std::cerr << "fido-otp-sim: --port: not a port number: " << value << "\n";
        return false;
      }
      opts.port = *port;
      continue;
    }
    std::cerr << "fido-otp-sim: unknown argument: " << arg << "\n";
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  options opts;
  if (!parse_args(argc, argv, opts)) {
    usage(std::cerr);
    return 2;
  }
  sim::KeyConfig key = sim::default_key();
  if (!opts.config_path.empty()) {
    auto loaded = sim::load_config(opts.config_path);
    if (!loaded) {
      std::cerr << "fido-otp-sim: " << loaded.error << std::endl;
      return 1;
    }
    key = std::move(*loaded.config);
  }
  otp_service::ServiceConfig cfg;
  caf::actor_system sys{cfg};
  auto log = std::make_shared<otp_service::RequestLog>(std::cout);
  auto service = sim::spawn_service(sys, std::move(key), log);
  return otp_service::serve(sys, service.core(), opts.port, "fido-otp-sim", *log, std::cerr);
}
