// What the access check costs, side by side in one process: the time from a
// new connection to the first answer (lookup and a token list) through CAF's
// own listener and through the guarded one; a request on an open connection
// through each; the check alone (sock_diag, and the socket tables it falls
// back to); and a refused connection (connect to close, and CPU time).
// Prints "key value" lines (microseconds). Each connection is made by a
// client process of its own (this program with --client), as the app does.
// Usage: access_check [ROUNDS]
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include "core/listener.h"
#include "core/peer_owner.h"
#include "core/serve.h"
#include "request.h"
#include "scheduler.h"
#include "sim/sim_service.h"
#include "sock_diag.h"
#include "table_files.h"
#include "vocabulary.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One client: connect, look up, list (timed), then the median of
// `requests` more lists; printed as "FIRST REQUEST".
int client_main(uint16_t port, int requests) {
  auto cfg = new caf::actor_system_config;
  cfg->load<caf::io::middleman>();
  select_scheduler(*cfg);
  init_global_meta_objects(*cfg);
  auto sys = new caf::actor_system{*cfg};
  const auto start = Clock::now();
  auto service = sys->middleman().remote_actor("127.0.0.1", port);
  if (!service) {
    std::fprintf(stderr, "no service on %u: %s\n", port, sys->render(service.error()).c_str());
    std::_Exit(1);
  }
  auto fido = request_blocking<caf::actor>(*sys, *service, ::get_atom{}, ::actor_fido_otp{});
  auto key = caf::actor_cast<fido_otp_actor>(*fido);
  auto first = request_blocking<std::vector<OtpTokenInfo>>(*sys, key, ::get_atom{}, ::info_atom{});
  const double first_us = micros(Clock::now() - start);
  if (!first)
    std::_Exit(1);
  std::vector<double> each{0};
  for (int i = 0; i < requests; ++i) {
    auto t = Clock::now();
    request_blocking<std::vector<OtpTokenInfo>>(*sys, key, ::get_atom{}, ::info_atom{});
    each.push_back(micros(Clock::now() - t));
  }
  std::printf("%.1f %.1f\n", first_us, median(each));
  std::fflush(nullptr);
  std::_Exit(0);
}

struct Round {
  double first_answer_us = 0;
  double request_us = 0;
};

Round connect_and_ask(const char* self, uint16_t port, int requests) {
  const auto command = std::string{self} + " --client " + std::to_string(port) + " "
                       + std::to_string(requests);
  Round round;
  FILE* out = ::popen(command.c_str(), "r");
  if (!out || std::fscanf(out, "%lf %lf", &round.first_answer_us, &round.request_us) != 2
      || ::pclose(out) != 0)
    std::_Exit(1);
  return round;
}

double cpu_us() {
  rusage use{};
  ::getrusage(RUSAGE_SELF, &use);
  return use.ru_utime.tv_sec * 1e6 + use.ru_utime.tv_usec + use.ru_stime.tv_sec * 1e6
         + use.ru_stime.tv_usec;
}

int connect_to(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    std::_Exit(1);
  return fd;
}

// The check alone on a real connection, both ways.
void time_the_check(int rounds) {
  int server = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(server, 1);
  ::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
  int client = connect_to(ntohs(addr.sin_port));
  int accepted = ::accept(server, nullptr, nullptr);
  std::vector<double> diag, tables, whole;
  for (int i = 0; i < rounds; ++i) {
    auto t = Clock::now();
    auto owner = otp_service::owner_of_peer(accepted);
    whole.push_back(micros(Clock::now() - t));
    if (!owner.account)
      std::_Exit(1);
  }
  sockaddr_in peer{};
  len = sizeof peer;
  ::getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &len);
  const tcp_endpoint ours{ipv4_in_ipv6(addr.sin_addr.s_addr), ntohs(addr.sin_port)};
  const tcp_endpoint theirs{ipv4_in_ipv6(peer.sin_addr.s_addr), ntohs(peer.sin_port)};
  for (int i = 0; i < rounds; ++i) {
    auto t = Clock::now();
    ask_sock_diag(ours, theirs);
    diag.push_back(micros(Clock::now() - t));
  }
  for (int i = 0; i < rounds; ++i) {
    auto t = Clock::now();
    std::string why;
    auto rows = read_socket_tables("/proc/net/tcp", "/proc/net/tcp6", why);
    peer_owner(*rows, ours, theirs);
    tables.push_back(micros(Clock::now() - t));
  }
  std::printf("check_us %.1f\ncheck_sock_diag_us %.1f\ncheck_proc_tables_us %.1f\n",
              median(whole), median(diag), median(tables));
  ::close(accepted);
  ::close(client);
  ::close(server);
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string{argv[1]} == "--client")
    return client_main(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  otp_service::ServiceConfig cfg;
  caf::actor_system sys{cfg};
  std::ofstream quiet{"/dev/null"};
  auto service = sim::spawn_service(sys, sim::default_key(), quiet);
  auto plain = sys.middleman().publish(service.service, 0, "127.0.0.1", true);
  auto log = std::make_shared<otp_service::RequestLog>(quiet);
  auto guarded_with = [&](std::vector<otp_service::Account> trusted) {
    otp_service::ListenerOptions options;
    options.policy.trusted = std::move(trusted);
    options.log = log;
    options.peers = std::make_shared<otp_service::PeerAccounts>();
    return otp_service::publish_guarded(sys, service.service, 0, std::move(options));
  };
  auto guarded = guarded_with(otp_service::own_accounts());
  auto refusing = guarded_with({});
  if (!plain || !guarded || !refusing)
    return 1;

  // Alternating, so that the machine's ups and downs reach both alike.
  std::vector<double> plain_first, guarded_first, plain_request, guarded_request;
  for (int i = 0; i < rounds; ++i) {
    auto a = connect_and_ask(argv[0], *plain, i < 20 ? 50 : 0);
    auto b = connect_and_ask(argv[0], *guarded, i < 20 ? 50 : 0);
    plain_first.push_back(a.first_answer_us);
    guarded_first.push_back(b.first_answer_us);
    if (i < 20) {
      plain_request.push_back(a.request_us);
      guarded_request.push_back(b.request_us);
    }
  }
  std::printf("rounds %d\nfirst_answer_plain_us %.1f\nfirst_answer_guarded_us %.1f\n", rounds,
              median(plain_first), median(guarded_first));
  std::printf("request_open_plain_us %.1f\nrequest_open_guarded_us %.1f\n",
              median(plain_request), median(guarded_request));
  time_the_check(rounds);

  std::vector<double> refused;
  const double cpu_before = cpu_us();
  for (int i = 0; i < rounds; ++i) {
    auto t = Clock::now();
    int fd = connect_to(*refusing);
    char byte;
    while (::recv(fd, &byte, 1, 0) > 0) {
    }
    refused.push_back(micros(Clock::now() - t));
    ::close(fd);
  }
  std::printf("refused_connect_to_close_us %.1f\nrefused_cpu_us %.1f\n", median(refused),
              (cpu_us() - cpu_before) / rounds);
  std::fflush(nullptr);
  std::_Exit(0);
}
