// fido-otp-sim: the simulated FIDO OTP service, published on 127.0.0.1.

#include <cstdlib>
#include <iostream>
#include <string>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include "scheduler.h"
#include "sim/key_config.h"
#include "sim/sim_service.h"
#include "vocabulary.h"

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
      char* end = nullptr;
      auto port = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port > 65535) {
        std::cerr << "fido-otp-sim: --port: not a port number: " << value << "\n";
        return false;
      }
      opts.port = static_cast<uint16_t>(port);
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
  caf::actor_system_config cfg;
  cfg.load<caf::io::middleman>();
  select_scheduler(cfg);
  init_global_meta_objects(cfg);
  caf::actor_system sys{cfg};
  auto service = sim::spawn_service(sys, std::move(key), std::cout);
  auto port = sys.middleman().publish(service.service, opts.port, "127.0.0.1", true);
  if (!port) {
    std::cerr << "fido-otp-sim: cannot listen on 127.0.0.1:" << opts.port << ": "
              << sys.render(port.error()) << std::endl;
    caf::anon_send_exit(service.service, caf::exit_reason::user_shutdown);
    caf::anon_send_exit(service.fido, caf::exit_reason::user_shutdown);
    return 1;
  }
  std::cout << "fido-otp-sim: serving on 127.0.0.1:" << *port << std::endl;
  // Runs until the process is stopped.
  sys.await_all_actors_done();
  return 0;
}
