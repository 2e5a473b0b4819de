// The PIN goes only to a service run by root, a system account, nobody or the
// user: the owner of the listening socket decides whether the window connects.
#include "caf/all.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <QLabel>
#include <QMenu>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "main_window/main_window.h"
#include "otp/otp_widget.h"
#include "qt_wait.h"
#include "service_owner.h"
#include "child_process.h"
#include "sim_process.h"

using testing_support::LogCapture;
using testing_support::SimProcess;
using testing_support::wait_for;
using uids = std::vector<uid_t>;

namespace {

// As the kernel prints it: port 12900 is 3264 in hex.
const char* const proc_net_tcp =
  "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
  "   0: 0100007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  4242        0 81 1 0 100 0 0 10 0\n"
  "   1: 0100007F:3265 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1001        0 82 1 0 100 0 0 10 0\n"
  "   2: 0100007F:3264 0100007F:C350 01 00000000:00000000 00:00000000 00000000  1002        0 83 1 0 20 4 30 10 -1\n"
  "   3: 0100007F:C350 0100007F:3264 01 00000000:00000000 00:00000000 00000000  1003        0 84 1 0 20 4 30 10 -1\n"
  "   4: 0200007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1004        0 85 1 0 100 0 0 10 0\n"
  "   5: 00000000:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 86 1 0 100 0 0 10 0\n";

const char* const proc_net_tcp6 =
  "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
  "   0: 00000000000000000000000000000000:3264 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000  1005        0 87 1\n"
  "   1: 00000000000000000000000001000000:3264 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000  1006        0 88 1\n"
  "   2: 0000000000000000FFFF00000100007F:3264 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000  1007        0 89 1\n";

std::string read_file(const char* path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A word of an address as the kernel prints it: the 32 bits as they lie in
// memory (network order), read as a number of this machine.
std::string word(uint32_t network_order) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", network_order);
  return text;
}

std::string row(const std::string& local, const std::string& remote, const char* state,
                uid_t uid, unsigned long inode = 4711) {
  return "   0: " + local + " " + remote + " " + state
         + " 00000000:00000000 00:00000000 00000000 " + std::to_string(uid) + " 0 "
         + std::to_string(inode) + " 1 0 100 0 0 10 0\n";
}

const char* const header = "  sl  local_address rem_address   st ...\n";

// A scratch directory with files that stand for /proc/net/tcp and the like.
class Scratch {
public:
  Scratch() {
    char name[] = "/tmp/tovrin-owner-XXXXXX";
    dir_ = ::mkdtemp(name);
  }
  ~Scratch() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string file(const std::string& name, const std::string& text) const {
    auto path = dir_ + "/" + name;
    std::ofstream{path} << text;
    return path;
  }
  std::string subdir(const std::string& name) const {
    auto path = dir_ + "/" + name;
    ::mkdir(path.c_str(), 0700);
    return path;
  }
  std::string missing() const { return dir_ + "/missing"; }

private:
  std::string dir_;
};

} // namespace

TEST(ServiceOwner, ListenersThatTakeLoopbackConnectionsOnThePort) {
  // 127.0.0.1 and the wildcard, listening; not another port, a connected
  // socket, another loopback address or a client's end.
  EXPECT_EQ(loopback_listener_owners(proc_net_tcp, 12900), (uids{4242, 0}));
  EXPECT_EQ(loopback_listener_owners(proc_net_tcp, 12901), (uids{1001}));
  EXPECT_EQ(loopback_listener_owners(proc_net_tcp, 50000), uids{});
  // IPv6: the wildcard and the mapped 127.0.0.1, not ::1.
  EXPECT_EQ(loopback_listener_owners(proc_net_tcp6, 12900), (uids{1005, 1007}));

  // Lines that do not parse are skipped, the others still count.
  const char* const damaged =
    "garbage\n"
    "\n"
    "   0: 0100007F:3264 00000000:0000 0A\n"
    "   1: 0100007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  -5 0 1\n"
    "   2: 0100007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  12ab 0 1\n"
    "   3: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1008 0 1\n"
    "   4 0100007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1009 0 1\n"
    "   5: 0100007F3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1010 0 1\n"
    "   6: 0100007F:13264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1011 0 1\n"
    "\t7:\t0100007F:3264\t00000000:0000\t0A\t00000000:00000000\t00:00000000\t00000000\t1012\t0 1";
  EXPECT_EQ(loopback_listener_owners(damaged, 12900), uids{1012});
  EXPECT_EQ(loopback_listener_owners("", 12900), uids{});
}

// A table that cannot be read says nothing about who listens: not trusted.
// A missing tcp6 is a machine without IPv6.
TEST(ServiceOwner, UnreadableTableIsNotTrusted) {
  Scratch scratch;
  const auto trusted = std::string(header)
                       + row(word(htonl(INADDR_LOOPBACK)) + ":3264", "00000000:0000", "0A", 0);
  proc_sources from;
  from.login_defs = scratch.file("login.defs", "UID_MIN 1000\n");
  from.tcp = scratch.file("tcp", trusted);
  from.tcp6 = scratch.file("tcp6", std::string(header));
  EXPECT_EQ(untrusted_service_listener(12900, from), std::nullopt);

  from.tcp6 = scratch.missing();
  EXPECT_EQ(untrusted_service_listener(12900, from), std::nullopt) << "no IPv6";

  for (auto broken : {scratch.missing(), scratch.subdir("tcp.d")}) {
    SCOPED_TRACE(broken);
    from.tcp = broken;
    from.tcp6 = scratch.file("tcp6", std::string(header));
    auto why = untrusted_service_listener(12900, from).value_or("trusted");
    EXPECT_EQ(why.rfind("The listener on 127.0.0.1:12900 cannot be checked: " + broken, 0), 0u)
      << why;

    from.tcp = scratch.file("tcp", trusted);
    from.tcp6 = broken == scratch.missing() ? scratch.subdir("tcp6.d") : broken;
    EXPECT_NE(untrusted_service_listener(12900, from), std::nullopt) << "tcp6 unreadable";
  }
}

// Inside a user namespace the kernel shows every owner it cannot map as the
// overflow uid (65534 unless set otherwise): root's listener, another
// user's, alike. Only outside one does 65534 stand for nobody.
TEST(ServiceOwner, OverflowUidInsideAUserNamespaceIsNotTrusted) {
  Scratch scratch;
  auto listener_of = [&](uid_t owner) {
    return scratch.file("tcp", std::string(header)
                                 + row(word(htonl(INADDR_LOOPBACK)) + ":3264", "00000000:0000",
                                       "0A", owner));
  };
  proc_sources from;
  from.login_defs = scratch.file("login.defs", "UID_MIN 1000\n");
  from.tcp6 = scratch.missing();
  from.overflow_uid = scratch.file("overflowuid", "65534\n");
  const auto identity = scratch.file("identity", "         0          0 4294967295\n");
  const struct {
    const char* what;
    std::string uid_map;
  } namespaces[] = {
    {"rootless container", scratch.file("rootless", "         0       1000          1\n"
                                                    "         1     100000      65536\n")},
    {"root's namespace of its own", scratch.file("root", "         0          0          1\n")},
    {"nothing mapped", scratch.file("empty", "")},
    {"map unreadable", scratch.missing()},
    {"identity and more", scratch.file("more", "         0          0 4294967295\n"
                                               "         0          0          1\n")},
  };

  from.tcp = listener_of(65534);
  from.uid_map = identity;
  EXPECT_EQ(untrusted_service_listener(12900, from), std::nullopt) << "nobody, outside";
  for (auto& ns : namespaces) {
    SCOPED_TRACE(ns.what);
    from.uid_map = ns.uid_map;
    from.tcp = listener_of(65534);
    EXPECT_EQ(untrusted_service_listener(12900, from).value_or("trusted").rfind(
                "The listener on 127.0.0.1:12900 belongs to uid 65534, which is not trusted", 0),
              0u);
    // Owners the namespace maps keep their rules.
    from.tcp = listener_of(0);
    EXPECT_EQ(untrusted_service_listener(12900, from), std::nullopt);
  }

  // A kernel told to show unmapped owners as a system account's uid.
  from.overflow_uid = scratch.file("overflowuid", "500\n");
  from.tcp = listener_of(500);
  from.uid_map = namespaces[0].uid_map;
  EXPECT_NE(untrusted_service_listener(12900, from), std::nullopt);
  from.uid_map = identity;
  EXPECT_EQ(untrusted_service_listener(12900, from), std::nullopt);
}

// Our end of the connection is one of our sockets; the service's end is the
// row with the same two endpoints the other way round.
TEST(ServiceOwner, ServiceEndOfOurConnection) {
  const auto lo = word(htonl(INADDR_LOOPBACK));
  const auto zero = word(0);
  const auto lo6 = zero + zero + word(htonl(0xFFFF)) + lo;
  const auto table = std::string(header)
                     + row(lo + ":3264", "00000000:0000", "0A", 0, 800)   // the listener
                     + row(lo + ":C350", lo + ":3264", "01", 1500, 900)   // ours
                     + row(lo + ":3264", lo + ":C350", "06", 0, 0)        // an old one, closing
                     + row(lo + ":3264", lo + ":C350", "01", 4242, 901)   // the service's end
                     + row(lo + ":C351", lo + ":3264", "01", 1500, 902)   // another socket
                     + row(lo + ":3264", lo + ":C351", "01", 0, 903)
                     + row(lo + ":C352", lo + ":3265", "01", 1500, 904)   // another port
                     + row(lo + ":3265", lo + ":C352", "01", 0, 905)
                     + row(lo + ":C353", lo + ":3264", "01", 1500, 906);  // no other end
  const auto table6 = std::string(header)
                      + row(lo6 + ":3264", lo6 + ":C354", "01", 1007, 907); // dual stack
  auto rows = parse_tcp_table(table);
  auto rows6 = parse_tcp_table(table6 + row(lo + ":C354", lo + ":3264", "01", 1500, 908));
  ASSERT_EQ(rows.size(), 9u);
  ASSERT_EQ(rows6.size(), 2u);
  rows.insert(rows.end(), rows6.begin(), rows6.end());

  using ends = std::vector<std::pair<uint16_t, std::optional<uid_t>>>;
  auto of = [&](std::vector<uint64_t> ours) {
    ends result;
    for (auto& end : service_ends(rows, ours, 12900))
      result.emplace_back(end.our_port, end.owner);
    return result;
  };
  EXPECT_EQ(of({900}), (ends{{50000, 4242}}));
  EXPECT_EQ(of({902, 900}), (ends{{50000, 4242}, {50001, 0}}));
  EXPECT_EQ(of({908}), (ends{{50004, 1007}}));
  EXPECT_EQ(of({906}), (ends{{50003, std::nullopt}}));
  EXPECT_EQ(of({904}), ends{});
  EXPECT_EQ(of({901, 903, 800}), ends{}) << "the service's own sockets";
  EXPECT_EQ(of({}), ends{});

  EXPECT_EQ(socket_inode("socket:[900]"), 900u);
  for (auto other : {"pipe:[900]", "socket:[]", "socket:[9a]", "socket:900", "/dev/null", ""})
    EXPECT_EQ(socket_inode(other), std::nullopt) << other;

  // Read from a table and a directory of fd links.
  Scratch scratch;
  proc_sources from;
  from.login_defs = scratch.file("login.defs", "UID_MIN 1000\n");
  from.uid_map = scratch.file("uid_map", "0 0 4294967295\n");
  from.tcp = scratch.file("tcp", table);
  from.tcp6 = scratch.file("tcp6", table6);
  from.fd_dir = scratch.subdir("fd");
  auto fd = [&](const char* name, const std::string& target) {
    ::symlink(target.c_str(), (from.fd_dir + "/" + name).c_str());
  };
  const std::string connection = "The service's end of the connection to 127.0.0.1:12900";
  EXPECT_EQ(untrusted_service_connection(12900, from), connection + " cannot be found");
  fd("0", "/dev/null");
  fd("1", "socket:[902]");
  EXPECT_EQ(untrusted_service_connection(12900, from), std::nullopt);
  fd("2", "socket:[900]");
  EXPECT_EQ(untrusted_service_connection(12900, from),
            connection + " belongs to uid 4242, which is not trusted");
  ::unlink((from.fd_dir + "/2").c_str());
  fd("3", "socket:[906]");
  EXPECT_EQ(untrusted_service_connection(12900, from),
            connection + " (our port 50003) cannot be found");
  from.fd_dir = scratch.missing();
  EXPECT_EQ(untrusted_service_connection(12900, from).value_or("trusted").rfind(
              connection + " cannot be checked: " + scratch.missing(), 0),
            0u);
}

TEST(ServiceOwner, FirstRegularUidAndWhoIsTrusted) {
  EXPECT_EQ(first_regular_uid("#UID_MIN 10\nUID_MIN\t\t\t 1000\nUID_MAX 60000\n"), 1000u);
  EXPECT_EQ(first_regular_uid("SUB_UID_MIN 100000\n  UID_MIN   500 # old systems\n"), 500u);
  EXPECT_EQ(first_regular_uid("UID_MIN many\n"), 1000u);
  EXPECT_EQ(first_regular_uid(""), 1000u);

  uid_view outside{1500, 1000, true};
  EXPECT_TRUE(trusted_owner(0, outside));     // root
  EXPECT_TRUE(trusted_owner(999, outside));   // a system account
  EXPECT_TRUE(trusted_owner(65534, outside)); // nobody
  EXPECT_TRUE(trusted_owner(1500, outside));  // the user
  EXPECT_FALSE(trusted_owner(1000, outside));
  EXPECT_FALSE(trusted_owner(4242, outside));
  EXPECT_FALSE(trusted_owner(65533, outside));
  EXPECT_FALSE(trusted_owner(4294967294u, outside));

  EXPECT_TRUE(identity_uid_map("         0          0 4294967295\n"));
  EXPECT_TRUE(identity_uid_map("0 0 4294967295"));
  EXPECT_FALSE(identity_uid_map(""));
  EXPECT_FALSE(identity_uid_map("         0          0 4294967294\n"));
  EXPECT_FALSE(identity_uid_map("         0       1000          1\n"));
  EXPECT_FALSE(identity_uid_map("0 0 4294967295 7\n"));
  EXPECT_FALSE(identity_uid_map("0 0 4294967295\n0 0 1\n"));
}

// End to end: the simulated service started as another regular account, as
// a system account and as the user running the tests.
class ServiceOwnerEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    if (::getuid() != 0)
      GTEST_SKIP() << "only root can start the service as another account";
  }

  static std::vector<std::string> run_as(uid_t uid) {
    auto id = std::to_string(uid);
    return {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
  }

  // The request lines the service printed (everything after "serving on").
  static std::string requests_of(const SimProcess& sim) {
    auto out = sim.output();
    auto serving = out.find('\n', out.find("serving on"));
    return serving == std::string::npos ? std::string{} : out.substr(serving + 1);
  }
};

TEST_F(ServiceOwnerEndToEnd, ServiceOfAnotherUserGetsNoRequestAndTheWindowReportsIt) {
  SimProcess sim{FIDO_OTP_SIM_PATH, "", run_as(4242)};
  LogCapture log;
  MainWindow w{sim.port()};
  EXPECT_EQ(w.findChild<QLabel*>("lb_msg")->text(), "Failed to connect to FIDO service.");
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());
  EXPECT_EQ(w.findChild<OtpWidget*>(), nullptr);
  EXPECT_EQ(log.at(spdlog::level::critical),
            (std::vector<std::string>{"The listener on 127.0.0.1:" + std::to_string(sim.port())
                                        + " belongs to uid 4242, which is not trusted",
                                      "Failed to get service actor"}));
  // Give a request that slipped through the time to show.
  wait_for([] { return false; }, 300);
  EXPECT_EQ(requests_of(sim), "");
}

// The check run inside a user namespace, as in Flatpak or a rootless
// container: the service of another account shows as uid 65534 there.
TEST_F(ServiceOwnerEndToEnd, ServiceOfAnotherUserSeenFromAUserNamespaceIsNotTrusted) {
  SimProcess sim{FIDO_OTP_SIM_PATH, "", run_as(4242)};
  const auto port = std::to_string(sim.port());
  auto probe = [&](std::vector<std::string> launcher) {
    launcher.push_back(OWNER_PROBE_PATH);
    launcher.push_back(port);
    testing_support::ChildProcess child{launcher};
    child.wait_for_output("\n", std::chrono::seconds(10));
    return child.output();
  };
  EXPECT_EQ(probe({}), "The listener on 127.0.0.1:" + port
                         + " belongs to uid 4242, which is not trusted\n");
  for (auto launcher : {std::vector<std::string>{"unshare", "--user", "--map-root-user"},
                        std::vector<std::string>{"unshare", "--user"}}) {
    SCOPED_TRACE(launcher.back());
    EXPECT_EQ(probe(launcher).rfind("The listener on 127.0.0.1:" + port
                                      + " belongs to uid 65534, which is not trusted",
                                    0),
              0u)
      << probe(launcher);
  }
}

// A listener that takes the port after the check and before the connection
// (here: the trusted service stops, another account's starts on its port)
// is caught at the service's end of the connection, before request 1.
TEST_F(ServiceOwnerEndToEnd, ListenerThatTakesThePortAfterTheCheckGetsNoRequest) {
  auto trusted = std::make_unique<SimProcess>(FIDO_OTP_SIM_PATH, "", run_as(0));
  const auto port = trusted->port();
  std::unique_ptr<SimProcess> impostor;
  struct Hook {
    explicit Hook(std::function<void()> f) { service_connect_hook = std::move(f); }
    ~Hook() { service_connect_hook = nullptr; }
  } hook{[&] {
    trusted.reset();
    impostor = std::make_unique<SimProcess>(FIDO_OTP_SIM_PATH, "", run_as(4242), port);
  }};
  LogCapture log;
  MainWindow w{port};
  ASSERT_TRUE(impostor) << "the hook did not run";
  EXPECT_EQ(w.findChild<QLabel*>("lb_msg")->text(), "Failed to connect to FIDO service.");
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());
  EXPECT_EQ(log.at(spdlog::level::critical),
            (std::vector<std::string>{"The service's end of the connection to 127.0.0.1:"
                                        + std::to_string(port)
                                        + " belongs to uid 4242, which is not trusted",
                                      "Failed to get service actor"}));
  wait_for([] { return false; }, 300);
  EXPECT_EQ(requests_of(*impostor), "");
}

TEST_F(ServiceOwnerEndToEnd, ServiceOfRootASystemAccountOrTheUserIsUsed) {
  const uid_t system_account = first_regular_uid(read_file("/etc/login.defs")) - 1;
  for (uid_t owner : {uid_t{0}, system_account, ::getuid()}) {
    SCOPED_TRACE("service run by uid " + std::to_string(owner));
    SimProcess sim{FIDO_OTP_SIM_PATH, "", run_as(owner)};
    LogCapture log;
    MainWindow w{sim.port()};
    EXPECT_TRUE(log.contains(spdlog::level::info, "get fido otp actor"));
    EXPECT_TRUE(log.at(spdlog::level::critical).empty());
    EXPECT_TRUE(wait_for([&] { return w.findChild<OtpWidget*>() != nullptr; }));
    EXPECT_NE(requests_of(sim).find("lookup: ok"), std::string::npos) << sim.output();
  }
}

// Windows: the owner process's account decides; a system account's service
// is known through the service manager; no owner process is no trust.
TEST(ServiceOwner, OnWindowsTheOwnerIsOurAccountOrASystemService) {
  const std::string own = "S-1-5-21-1-2-3-1001";
  const std::string what = "The listener on 127.0.0.1:12900";
  EXPECT_EQ(windows_distrust(what, {4711, own, std::nullopt, {}}, own), std::nullopt);
  EXPECT_EQ(windows_distrust(what, {4711, std::nullopt, "S-1-5-18", "access denied"}, own),
            std::nullopt);
  EXPECT_EQ(windows_distrust(what, {4711, "S-1-5-21-1-2-3-1002", std::nullopt, {}}, own),
            what + " belongs to S-1-5-21-1-2-3-1002, which is not trusted");
  EXPECT_EQ(windows_distrust(what, {4711, std::nullopt, std::nullopt, "process 4711 cannot be "
                                                                      "opened (5)"},
                             own),
            what + " belongs to process 4711, whose account cannot be told: process 4711 "
                   "cannot be opened (5)");
  // Wine shows every owner as process 0.
  EXPECT_EQ(windows_distrust(what, {0, own, std::nullopt, {}}, own),
            what + " has no known owner process");
}
