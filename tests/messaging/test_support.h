#pragma once

// Shared helpers of the messaging tests: an actor system with the vocabulary
// registered, binary save/load helpers and one non-default sample value of
// every record, list, pair and plain enumeration of the vocabulary.

#include <climits>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/binary_deserializer.hpp"
#include "caf/binary_serializer.hpp"
#include "caf/deep_to_string.hpp"

#include "vocabulary.h"

using byte_buffer = std::vector<char>;

struct registered_config : caf::actor_system_config {
  registered_config() { init_global_meta_objects(*this); }
};

// One actor system per test, with the vocabulary registered.
class system_test : public ::testing::Test {
protected:
  registered_config cfg;
  caf::actor_system sys{cfg};
};

template <class T>
byte_buffer save_bytes(caf::actor_system& sys, T x) {
  byte_buffer buf;
  caf::binary_serializer sink{sys, buf};
  auto err = sink(x);
  EXPECT_FALSE(err) << sys.render(err);
  return buf;
}

// Loads `x` from `buf`; `rest` receives the number of bytes left unread.
template <class T>
caf::error load_bytes(caf::actor_system& sys, const byte_buffer& buf, T& x,
                      size_t* rest = nullptr) {
  caf::binary_deserializer source{sys, buf};
  auto err = source(x);
  if (rest != nullptr)
    *rest = source.remaining();
  return err;
}

inline byte_buffer bytes_of(std::initializer_list<int> xs) {
  byte_buffer result;
  for (auto x : xs)
    result.push_back(static_cast<char>(x));
  return result;
}

// Calls f once per sample; every value differs from its type's default.
template <class F>
void for_each_sample(F&& f) {
  Authenticator key{e_credential_type{4}, 1, "PIN needed"};
  Authenticator push{e_credential_type{7}, 0, ""};
  TblPolicy mfa{7, "S-1-5-21-1", "mfa", "require key", "{\"grace\":3}", true};
  TblPolicy lock{-1, "", "lock", "idle", "", false};
  OdpChannel sms{"sms", {"+15550100", "+15550101"}};
  AgentDiscoveryInfo agent{"agent.example", "10.1.2.3", entities{2}, 12900};
  CrToken token{"reader-1", "10.0.0.9", "ten-zero-zero-nine", true};
  CurrentUserName ori{"CORP\\alice", "Alice L.", false, true, "alice", "CORP", "corp.example", "", ""};

  f(OtpTokenInfo{"GitHub:alice", 30});
  f(PinPolicyResult{true, "too short"});
  f(LCEvent{{1, -2, 3}});
  f(SessionDetail{true, "alice", "Alice", "Liddell", "2024-05-01T10:00:00Z", 1714557600});
  f(TarnConnectEvent{"10.0.0.7", true});
  f(mfa);
  f(sms);
  f(key);
  f(agent);
  f(token);
  f(HardwareEvent{e_credential_type{9}, e_hardware_op{1}, "fp:ab:cd"});
  f(FlatOdpChannel{"email", "a@example.com"});
  f(CredentialProviderFilter{e_cp_filter_mode{2}, "cp1;cp2", "{6f1c}"});
  f(FidoAuthResp{"signed", "req-1", "/dev/hidraw0"});
  f(ori);
  f(CurrentUserIncMapping{"alice", "Alice", false, true, true, "CORP\\alice", ori});
  f(OsSessionMsg{3, true, "192.0.2.1"});
  f(LogonResult{2, 3, "ticket-xyz"});
  f(ListAuthResult{{key, push}, "fido", 1, 2});

  f(std::vector<e_credential_type>{e_credential_type{1}, e_credential_type{-7}});
  f(std::vector<TblPolicy>{mfa, lock});
  f(std::vector<std::string>{"a", "", "\xc3\xbc"});
  f(std::vector<OdpChannel>{sms, OdpChannel{"voice", {}}});
  f(std::vector<Authenticator>{key, push});
  f(std::vector<int>{0, -1, INT_MAX, INT_MIN});
  f(std::vector<AgentDiscoveryInfo>{agent});
  f(std::vector<CrToken>{token, CrToken{}});
  f(std::vector<OtpTokenInfo>{{"GitHub", 30}, {"Mail", 60}});

  f(std::tuple<std::string, std::string>{"key", "value"});

  f(e_credential_type{5});
  f(entities{3});
  f(e_login_scenario{-1});
  f(LogonMFAOptions{0x7fffffff});
  f(e_hardware_op{2});
  f(e_cp_filter_mode{1});
}

// Text for failure messages; plain enumerations print as "<unprintable>".
template <class T>
std::string show(const T& x) {
  return caf::deep_to_string(x);
}
