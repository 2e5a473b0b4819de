// fido-otp-service as a program: its command line, a taken port, and how its
// errors read once they travel.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"

#include "child_process.h"
#include "errors.h"
#include "free_port.h"
#include "pcsc_key_backend.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;

// No pcscd for these: the socket named here does not exist.
std::vector<std::string> service(std::vector<std::string> args) {
  args.insert(args.begin(), {"env", "PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm",
                             FIDO_OTP_SERVICE_PATH});
  return args;
}

TEST(Program, HelpAndBadArguments) {
  {
    ChildProcess help(service({"--help"}));
    EXPECT_EQ(help.wait(10s), 0);
    for (const char* option : {"--reader NAME", "--require-pin", "--min-pin-length N", "--port N"})
      EXPECT_NE(help.output().find(option), std::string::npos) << option;
  }
  for (auto bad : {std::vector<std::string>{"--min-pin-length", "six"},
                   std::vector<std::string>{"--min-pin-length", "-1"},
                   std::vector<std::string>{"--port", "99999"},
                   std::vector<std::string>{"--reader"}, std::vector<std::string>{"--bogus"}}) {
    ChildProcess run(service(bad));
    EXPECT_EQ(run.wait(10s), 2) << bad[0] << ": " << run.output();
    EXPECT_NE(run.output().find("usage: fido-otp-service"), std::string::npos);
  }
}

TEST(Program, ATakenPortIsOneLineAndExitCodeOne) {
  const uint16_t port = testing_support::unused_port();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  ChildProcess run(service({"--port", std::to_string(port)}));
  EXPECT_EQ(run.wait(10s), 1);
  const auto text = run.output();
  EXPECT_EQ(text.rfind("fido-otp-service: cannot listen on 127.0.0.1:" + std::to_string(port) + ": ",
                       0),
            0u)
    << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  ::close(fd);
}

struct RenderingConfig : caf::actor_system_config {
  RenderingConfig() { add_error_categories(*this); }
};

TEST(Program, ErrorsReadAsTheirCodeTextAndContext) {
  RenderingConfig cfg;
  caf::actor_system sys{cfg};
  using backend::ServiceError;
  EXPECT_EQ(sys.render(pcsc_service::to_caf_error(
              {ServiceError::Category::pcsc, 3, "pcscd is not reachable (SCARD_E_NO_SERVICE)"})),
            "Failed to connect to reader (pcscd is not reachable (SCARD_E_NO_SERVICE))");
  const auto timeout = pcsc_service::to_caf_error({ServiceError::Category::fido, 7, ""});
  EXPECT_EQ(sys.render(timeout), "FIDO key timed out.");
  EXPECT_TRUE(is_fido_error(timeout, fido_error::key_timed_out));
  EXPECT_EQ(sys.render(pcsc_service::to_caf_error({ServiceError::Category::fido, 2, "x"})),
            "Could not find any FIDO tokens. (x)");
}

} // namespace
