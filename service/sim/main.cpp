// fido-otp-sim: the simulated FIDO OTP service, published on 127.0.0.1.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "caf/all.hpp"

#include "core/peer_owner.h"
#include "core/serve.h"
#include "sim/key_config.h"
#include "sim/sim_service.h"

namespace {

void usage(std::ostream& out) {
  out << "usage: fido-otp-sim [--port N] [--config FILE] [--allow-user NAME|UID]... [--time T]\n"
         "\n"
         "Serves a simulated FIDO key as the FIDO OTP service on 127.0.0.1, to its own\n"
         "user (and root) only.\n"
         "  --port N             TCP port (default 12900; 0 picks a free one)\n"
         "  --config FILE        key configuration (JSON) instead of the default key\n"
         "  --allow-user NAME    serve this account too (a name or a uid; repeatable)\n"
         "  --time T             the service's clock stands at UNIX time T (for tests that\n"
         "                       ask for codes of fixed times; codes are given only for a\n"
         "                       time within one period of the service's clock)\n"
         "  --help               this text\n\n"
      << sim::default_key_help() << "\n"
      << sim::config_help();
}

struct options {
  uint16_t port = fido_service_port;
  std::string config_path;
  otp_service::AccessOptions access;
  std::optional<uint64_t> time;
};

bool parse_args(int argc, char** argv, options& opts) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      std::exit(0);
    }
    if ((arg == "--port" || arg == "--config" || arg == "--allow-user" || arg == "--time")
        && i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--config") {
        opts.config_path = value;
        continue;
      }
      if (arg == "--allow-user") {
        auto account = otp_service::account_named(value);
        if (!account) {
          std::cerr << "fido-otp-sim: --allow-user: no such account: " << value << "\n";
          return false;
        }
        opts.access.allowed.push_back(*account);
        continue;
      }
      if (arg == "--time") {
        char* end = nullptr;
        const auto t = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || *end != '\0') {
          std::cerr << "fido-otp-sim: --time: not a UNIX time: " << value << "\n";
          return false;
        }
        opts.time = t;
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
  auto log = std::make_shared<otp_service::RequestLog>(std::cout, std::chrono::system_clock::now);
  opts.access.peers = std::make_shared<otp_service::PeerAccounts>();
  otp_service::CoreOptions core;
  core.peers = opts.access.peers;
  if (opts.time)
    core.clock = [t = *opts.time] { return t; };
  auto service = sim::spawn_service(sys, std::move(key), log, core);
  return otp_service::serve(sys, service.core(), opts.port, "fido-otp-sim", log, std::cerr,
                            opts.access);
}
