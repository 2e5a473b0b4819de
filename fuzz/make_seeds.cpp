// Writes the seed corpus of fuzz_vocabulary_load: one valid saved value per
// record, list, pair and plain enumeration, a few atoms and whole messages.
// Each file is the two selector bytes of the entry followed by the bytes.
// Usage: fuzz_make_seeds DIR

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/binary_serializer.hpp"
#include "caf/message.hpp"

#include "checks.h"
#include "vocabulary.h"

namespace {

size_t index_of(const std::type_info& type) {
  const auto& entries = vocabulary();
  for (size_t i = 0; i < entries.size(); ++i)
    if (*entries[i].rtti == type)
      return i;
  std::cerr << "not in the vocabulary: " << type.name() << "\n";
  std::exit(1);
}

std::string file_name(std::string name) {
  for (auto& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)))
      c = '_';
  return name;
}

class writer {
public:
  writer(caf::actor_system& sys, std::string dir) : sys_(sys), dir_(std::move(dir)) {}

  template <class T>
  void value(T x) {
    const size_t index = index_of(typeid(T));
    std::vector<char> bytes;
    caf::binary_serializer sink{sys_, bytes};
    if (auto err = sink(x))
      fail(sys_.render(err));
    write(index, "value_" + file_name(vocabulary()[index].name), bytes);
  }

  void message(const std::string& label, const caf::message& msg) {
    std::vector<char> bytes;
    caf::binary_serializer sink{sys_, bytes};
    if (auto err = msg.save(sink))
      fail(sys_.render(err));
    write(0, "message_" + label, bytes);
  }

  void atom(size_t index) {
    write(index, "atom_" + file_name(vocabulary()[index].name), {});
  }

private:
  void write(size_t index, const std::string& name, const std::vector<char>& bytes) {
    std::ofstream out(dir_ + "/" + name, std::ios::binary);
    const char selector[fuzz_checks::selector_bytes] = {static_cast<char>(index & 0xff),
                                                        static_cast<char>(index >> 8)};
    out.write(selector, sizeof selector);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
      fail("cannot write " + name);
  }

  [[noreturn]] static void fail(const std::string& what) {
    std::cerr << what << "\n";
    std::exit(1);
  }

  caf::actor_system& sys_;
  std::string dir_;
};

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_make_seeds DIR\n";
    return 2;
  }
  caf::actor_system_config cfg;
  init_global_meta_objects(cfg);
  caf::actor_system sys{cfg};
  writer w{sys, argv[1]};

  Authenticator key{e_credential_type{4}, 1, "PIN needed"};
  Authenticator push{e_credential_type{7}, 0, ""};
  TblPolicy mfa{7, "S-1-5-21-1", "mfa", "require key", "{\"grace\":3}", true};
  OdpChannel sms{"sms", {"+15550100", "+15550101"}};
  AgentDiscoveryInfo agent{"agent.example", "10.1.2.3", entities{2}, 12900};
  CrToken token{"reader-1", "10.0.0.9", "ten-zero-zero-nine", true};
  CurrentUserName user{"CORP\\alice", "Alice L.", false, true, "alice", "CORP",
                       "corp.example", "", ""};

  w.value(OtpTokenInfo{"GitHub:alice", 30});
  w.value(PinPolicyResult{true, "too short"});
  w.value(LCEvent{{1, -2, 3}});
  w.value(SessionDetail{true, "alice", "Alice", "Liddell", "2024-05-01T10:00:00Z", 1714557600});
  w.value(TarnConnectEvent{"10.0.0.7", true});
  w.value(mfa);
  w.value(sms);
  w.value(key);
  w.value(agent);
  w.value(token);
  w.value(HardwareEvent{e_credential_type{9}, e_hardware_op{1}, "fp:ab:cd"});
  w.value(FlatOdpChannel{"email", "a@example.com"});
  w.value(CredentialProviderFilter{e_cp_filter_mode{2}, "cp1;cp2", "{6f1c}"});
  w.value(FidoAuthResp{"signed", "req-1", "/dev/hidraw0"});
  w.value(user);
  w.value(CurrentUserIncMapping{"alice", "Alice", false, true, true, "CORP\\alice", user});
  w.value(OsSessionMsg{3, true, "192.0.2.1"});
  w.value(LogonResult{2, 3, "ticket-xyz"});
  w.value(ListAuthResult{{key, push}, "fido", 1, 2});
  w.value(std::vector<e_credential_type>{e_credential_type{1}, e_credential_type{-7}});
  w.value(std::vector<TblPolicy>{mfa, TblPolicy{}});
  w.value(std::vector<std::string>{"a", "", "\xc3\xbc"});
  w.value(std::vector<OdpChannel>{sms, OdpChannel{"voice", {}}});
  w.value(std::vector<Authenticator>{key, push});
  w.value(std::vector<int>{0, -1, INT_MAX, INT_MIN});
  w.value(std::vector<AgentDiscoveryInfo>{agent});
  w.value(std::vector<CrToken>{token, CrToken{}});
  w.value(std::vector<OtpTokenInfo>{{"GitHub", 30}, {"Mail", 60}});
  w.value(std::tuple<std::string, std::string>{"key", "value"});
  w.value(e_credential_type{5});
  w.value(entities{3});
  w.value(e_login_scenario{-1});
  w.value(LogonMFAOptions{0x7fffffff});
  w.value(e_hardware_op{2});
  w.value(e_cp_filter_mode{1});

  w.atom(index_of(typeid(::get_atom)));
  w.atom(index_of(typeid(::hello_atom)));

  w.message("get_tokens", caf::make_message(::get_atom{}, std::vector<OtpTokenInfo>{
                                                              {"GitHub", 30}, {"VPN", 30}}));
  w.message("policy", caf::make_message(PinPolicyResult{false, "digits only"}));
  w.message("fido_error", caf::make_message(make_error(fido_error::pin_incorrect)));
  w.message("pair_and_int", caf::make_message(std::tuple<std::string, std::string>{"a", "b"},
                                              int32_t{42}, std::string{"text"}));
  return 0;
}
