// virtual-oath-key: a security key with the OATH applet, as a card of vpcd.

#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include "virtual_key/key_config.h"
#include "virtual_key/vpcd_link.h"

namespace {

constexpr int kUsageError = 2;

void usage(std::ostream& out) {
  out << "usage: virtual-oath-key --config FILE [--vpcd-port N] [--trace] [--check]\n"
         "\n"
         "A security key with the OATH applet (AID A0 00 00 05 27 21 01) that connects\n"
         "to vpcd, pcscd's virtual reader driver, on 127.0.0.1 and is a card in its\n"
         "reader until the process ends.\n"
         "  --config FILE   key configuration (JSON, below)\n"
         "  --vpcd-port N   vpcd's port (default 35963; its second slot is 35964)\n"
         "  --trace         every message from vpcd and every answer on stderr, in hex\n"
         "  --no-quickack   leave TCP_QUICKACK off (only to measure the delayed ACK)\n"
         "  --check         read the configuration, report the first error, and exit\n"
         "  --help          this text\n"
         "\n"
         "Signals: SIGUSR1 removes the key from the reader (also during a touch wait),\n"
         "SIGUSR2 inserts it again; SIGTERM, SIGINT and SIGHUP end it (exit 0).\n"
         "Without vpcd listening the key keeps trying to connect, every 20 ms.\n"
         "\n"
      << virtual_key::config_help();
}

struct Options {
  std::string config_path;
  virtual_key::LinkOptions link;
  bool check = false;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::cerr << "virtual-oath-key: " << message << "\n";
  std::exit(kUsageError);
}

Options parse_args(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      std::exit(0);
    } else if (arg == "--trace") {
      options.link.trace = true;
    } else if (arg == "--no-quickack") {
      options.link.quickack = false;
    } else if (arg == "--check") {
      options.check = true;
    } else if ((arg == "--config" || arg == "--vpcd-port") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--config") {
        options.config_path = value;
        continue;
      }
      char* end = nullptr;
      const unsigned long port = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port == 0 || port > 65535)
        usage_error("--vpcd-port: not a port number: " + value);
      options.link.port = static_cast<uint16_t>(port);
    } else {
      usage_error("unknown argument: " + arg + " (see --help)");
    }
  }
  if (options.config_path.empty())
    usage_error("--config FILE is required (see --help)");
  return options;
}

virtual_key::KeyConfig load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    usage_error(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  auto result = virtual_key::parse_key_config(text.str());
  if (!result)
    usage_error(path + ": " + result.error);
  return std::move(*result.config);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_args(argc, argv);
  auto config = load(options.config_path);
  if (options.check)
    return 0;
  try {
    virtual_key::VpcdLink link(options.link);
    std::random_device entropy;
    virtual_key::AppletSeams seams{
        [&link](std::chrono::milliseconds duration) { return link.wait(duration); },
        [&entropy](uint8_t* out, size_t size) {
          for (size_t i = 0; i < size; ++i)
            out[i] = static_cast<uint8_t>(entropy());
        }};
    virtual_key::OathApplet applet(std::move(config.state), config.options, std::move(seams));
    virtual_key::VirtualCard card(applet);
    return link.run(card);
  } catch (const std::exception& e) {
    std::cerr << "virtual-oath-key: " << e.what() << "\n";
    return 1;
  }
}
