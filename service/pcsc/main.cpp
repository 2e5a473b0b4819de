// fido-otp-service: the FIDO OTP service for real keys (PC/SC, OATH applet),
// published on 127.0.0.1.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "caf/all.hpp"

#include "core/peer_owner.h"
#include "core/serve.h"
#include "pcsc_key_backend.h"
#include "service_log.h"

namespace {

void usage(std::ostream& out) {
  out << "usage: fido-otp-service [--reader NAME] [--require-pin] [--min-pin-length N] [--port N]\n"
         "                        [--allow-user NAME|UID]...\n"
         "\n"
         "Serves the security key in a PC/SC reader (its OATH applet) as the FIDO OTP service\n"
         "on 127.0.0.1, to its own user (and root) only. Needs pcscd. The application's PIN\n"
         "is the key's OATH password.\n"
         "  --reader NAME        use only readers whose name contains NAME\n"
         "  --require-pin        the PIN policy is on: a PIN is demanded, and a first one can\n"
         "                       be set on a key without a password\n"
         "  --min-pin-length N   shortest new PIN, in characters (default 6)\n"
         "  --port N             TCP port (default 12900; 0 picks a free one)\n"
         "  --allow-user NAME    serve this account too (a name or a uid; repeatable), for a\n"
         "                       service run as a system account for several users\n"
         "  --help               this text\n";
}

struct options {
  uint16_t port = fido_service_port;
  backend::Options key;
  otp_service::AccessOptions access;
};

bool parse_args(int argc, char** argv, options& opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      std::exit(0);
    }
    if (arg == "--require-pin") {
      opts.key.require_pin = true;
      continue;
    }
    if ((arg == "--port" || arg == "--reader" || arg == "--min-pin-length"
         || arg == "--allow-user")
        && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--allow-user") {
        auto account = otp_service::account_named(value);
        if (!account) {
          std::cerr << "fido-otp-service: --allow-user: no such account: " << value << "\n";
          return false;
        }
        opts.access.allowed.push_back(*account);
      } else if (arg == "--reader") {
        opts.key.reader_filter = value;
      } else if (arg == "--port") {
        auto port = otp_service::parse_port(value);
        if (!port) {
          std::cerr << "fido-otp-service: --port: not a port number: " << value << "\n";
          return false;
        }
        opts.port = *port;
      } else {
        char* end = nullptr;
        const auto length = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || *end != '\0' || length > 1024) {
          std::cerr << "fido-otp-service: --min-pin-length: not a length: " << value << "\n";
          return false;
        }
        opts.key.min_pin_length = length;
      }
      continue;
    }
    std::cerr << "fido-otp-service: unknown argument: " << arg << "\n";
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
  otp_service::ServiceConfig cfg;
  caf::actor_system sys{cfg};
  auto where = open_service_log();
  auto log = std::make_shared<otp_service::RequestLog>(where.out, std::chrono::system_clock::now);
  opts.access.peers = std::make_shared<otp_service::PeerAccounts>();
  otp_service::CoreOptions core;
  core.peers = opts.access.peers;
  auto key = std::make_shared<pcsc_service::PcscKeyBackend>(opts.key);
  auto service = otp_service::spawn_service(sys, key, log, core);
  return otp_service::serve(sys, service, opts.port, "fido-otp-service", log, where.err,
                            opts.access);
}
