#pragma once

// Records, plain enumerations and lists of the shared vocabulary. Field order
// is the wire format: the binary form writes the fields one after another.

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "caf/meta/type_name.hpp"

// Plain enumerations: 32-bit values without names; any value loads.
enum class e_credential_type : int32_t {};
enum class entities : int32_t {};
enum class e_login_scenario : int32_t {};
enum class LogonMFAOptions : int32_t {};
enum class e_hardware_op : int32_t {};
enum class e_cp_filter_mode : int32_t {};

// Each record lists its inspection names; the binary and printed forms carry none.
#define TOVRIN_RECORD_COMPARISON(T)                                            \
  friend bool operator==(const T& a, const T& b) { return a.tie() == b.tie(); } \
  friend bool operator!=(const T& a, const T& b) { return !(a == b); }

struct OtpTokenInfo {
  std::string name;
  uint32_t period = 0;

  static constexpr std::array<const char*, 2> field_names{{"name", "period"}};
  auto tie() const { return std::tie(name, period); }
  TOVRIN_RECORD_COMPARISON(OtpTokenInfo)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, OtpTokenInfo& x) {
  return f(caf::meta::type_name("OtpTokenInfo"), x.name, x.period);
}

struct PinPolicyResult {
  bool is_compliant = false;
  std::string reason;

  static constexpr std::array<const char*, 2> field_names{{"is_compliant", "reason"}};
  auto tie() const { return std::tie(is_compliant, reason); }
  TOVRIN_RECORD_COMPARISON(PinPolicyResult)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, PinPolicyResult& x) {
  return f(caf::meta::type_name("PinPolicyResult"), x.is_compliant, x.reason);
}

// Records of the wider product family: registered, serialized and printed,
// never built or read by this application.

struct LCEvent {
  std::tuple<int32_t, int32_t, int32_t> state{0, 0, 0};

  static constexpr std::array<const char*, 1> field_names{{"state"}};
  auto tie() const { return std::tie(state); }
  TOVRIN_RECORD_COMPARISON(LCEvent)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, LCEvent& x) {
  return f(caf::meta::type_name("LCEvent"), x.state);
}

struct SessionDetail {
  bool authenticated = false;
  std::string login_name;
  std::string first_name;
  std::string last_name;
  std::string last_login;
  int64_t expiry = 0;

  static constexpr std::array<const char*, 6> field_names{
    {"authenticated", "login_name", "first_name", "last_name", "last_login", "expiry"}};
  auto tie() const {
    return std::tie(authenticated, login_name, first_name, last_name, last_login, expiry);
  }
  TOVRIN_RECORD_COMPARISON(SessionDetail)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, SessionDetail& x) {
  return f(caf::meta::type_name("SessionDetail"), x.authenticated, x.login_name,
           x.first_name, x.last_name, x.last_login, x.expiry);
}

struct TarnConnectEvent {
  std::string ip;
  bool is_online = false;

  static constexpr std::array<const char*, 2> field_names{{"ip", "is_online"}};
  auto tie() const { return std::tie(ip, is_online); }
  TOVRIN_RECORD_COMPARISON(TarnConnectEvent)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, TarnConnectEvent& x) {
  return f(caf::meta::type_name("TarnConnectEvent"), x.ip, x.is_online);
}

struct TblPolicy {
  int32_t id = 0;
  std::string policy_sid;
  std::string category;
  std::string name;
  std::string options;
  bool is_system = false;

  static constexpr std::array<const char*, 6> field_names{
    {"id", "policy_sid", "category", "name", "options", "is_system"}};
  auto tie() const { return std::tie(id, policy_sid, category, name, options, is_system); }
  TOVRIN_RECORD_COMPARISON(TblPolicy)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, TblPolicy& x) {
  return f(caf::meta::type_name("TblPolicy"), x.id, x.policy_sid, x.category, x.name,
           x.options, x.is_system);
}

struct OdpChannel {
  std::string channel;
  std::vector<std::string> targets;

  static constexpr std::array<const char*, 2> field_names{{"channel", "targets"}};
  auto tie() const { return std::tie(channel, targets); }
  TOVRIN_RECORD_COMPARISON(OdpChannel)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, OdpChannel& x) {
  return f(caf::meta::type_name("OdpChannel"), x.channel, x.targets);
}

struct Authenticator {
  e_credential_type method{};
  int32_t pin_required = 0;
  std::string pin_required_text;

  // The second and third fields share one inspection name.
  static constexpr std::array<const char*, 3> field_names{
    {"method", "pin_required", "pin_required"}};
  auto tie() const { return std::tie(method, pin_required, pin_required_text); }
  TOVRIN_RECORD_COMPARISON(Authenticator)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Authenticator& x) {
  return f(caf::meta::type_name("Authenticator"), x.method, x.pin_required,
           x.pin_required_text);
}

struct AgentDiscoveryInfo {
  std::string addr;
  std::string ip;
  entities source{};
  int32_t port = 0;

  static constexpr std::array<const char*, 4> field_names{{"addr", "ip", "source", "port"}};
  auto tie() const { return std::tie(addr, ip, source, port); }
  TOVRIN_RECORD_COMPARISON(AgentDiscoveryInfo)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, AgentDiscoveryInfo& x) {
  return f(caf::meta::type_name("AgentDiscoveryInfo"), x.addr, x.ip, x.source, x.port);
}

struct CrToken {
  std::string addr;
  std::string ip;
  std::string ip_text;
  bool ip_flag = false;

  // The last three fields share one inspection name.
  static constexpr std::array<const char*, 4> field_names{{"addr", "ip", "ip", "ip"}};
  auto tie() const { return std::tie(addr, ip, ip_text, ip_flag); }
  TOVRIN_RECORD_COMPARISON(CrToken)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, CrToken& x) {
  return f(caf::meta::type_name("CrToken"), x.addr, x.ip, x.ip_text, x.ip_flag);
}

struct HardwareEvent {
  e_credential_type hardware_type{};
  e_hardware_op op{};
  std::string fingerprint;

  static constexpr std::array<const char*, 3> field_names{{"hardware_type", "op", "fingerprint"}};
  auto tie() const { return std::tie(hardware_type, op, fingerprint); }
  TOVRIN_RECORD_COMPARISON(HardwareEvent)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, HardwareEvent& x) {
  return f(caf::meta::type_name("HardwareEvent"), x.hardware_type, x.op, x.fingerprint);
}

struct FlatOdpChannel {
  std::string channel;
  std::string target;

  static constexpr std::array<const char*, 2> field_names{{"channel", "target"}};
  auto tie() const { return std::tie(channel, target); }
  TOVRIN_RECORD_COMPARISON(FlatOdpChannel)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, FlatOdpChannel& x) {
  return f(caf::meta::type_name("FlatOdpChannel"), x.channel, x.target);
}

struct CredentialProviderFilter {
  e_cp_filter_mode mode{};
  std::string cps;
  std::string cp_relay_guid;

  static constexpr std::array<const char*, 3> field_names{{"mode", "cps", "cp_relay_guid"}};
  auto tie() const { return std::tie(mode, cps, cp_relay_guid); }
  TOVRIN_RECORD_COMPARISON(CredentialProviderFilter)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, CredentialProviderFilter& x) {
  return f(caf::meta::type_name("CredentialProviderFilter"), x.mode, x.cps, x.cp_relay_guid);
}

struct FidoAuthResp {
  std::string resp;
  std::string auth_req_id;
  std::string hw_path;

  static constexpr std::array<const char*, 3> field_names{{"resp", "auth_req_id", "hw_path"}};
  auto tie() const { return std::tie(resp, auth_req_id, hw_path); }
  TOVRIN_RECORD_COMPARISON(FidoAuthResp)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, FidoAuthResp& x) {
  return f(caf::meta::type_name("FidoAuthResp"), x.resp, x.auth_req_id, x.hw_path);
}

struct CurrentUserName {
  std::string input_name;
  std::string display_name;
  bool is_local = true;
  bool is_admin = false;
  std::string username;
  std::string domain_name;
  std::string domain_dns_name;
  // Local to the process: neither serialized nor printed.
  std::string sid;
  std::string profile_path;

  static constexpr std::array<const char*, 7> field_names{
    {"input_name", "display_name", "is_local", "is_admin", "username", "domain_name",
     "domain_dns_name"}};
  auto tie() const {
    return std::tie(input_name, display_name, is_local, is_admin, username, domain_name,
                    domain_dns_name, sid, profile_path);
  }
  TOVRIN_RECORD_COMPARISON(CurrentUserName)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, CurrentUserName& x) {
  return f(caf::meta::type_name("CurrentUserName"), x.input_name, x.display_name,
           x.is_local, x.is_admin, x.username, x.domain_name, x.domain_dns_name);
}

struct CurrentUserIncMapping {
  std::string input_name;
  std::string display_name;
  bool is_local = true;
  bool is_admin = false;
  bool is_mapping = false;
  std::string before_map_name;
  CurrentUserName ori_username;

  static constexpr std::array<const char*, 7> field_names{
    {"input_name", "display_name", "is_local", "is_admin", "is_mapping", "before_map_name",
     "ori_username"}};
  auto tie() const {
    return std::tie(input_name, display_name, is_local, is_admin, is_mapping,
                    before_map_name, ori_username);
  }
  TOVRIN_RECORD_COMPARISON(CurrentUserIncMapping)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, CurrentUserIncMapping& x) {
  return f(caf::meta::type_name("CurrentUserIncMapping"), x.input_name, x.display_name,
           x.is_local, x.is_admin, x.is_mapping, x.before_map_name, x.ori_username);
}

struct OsSessionMsg {
  int32_t session_id = -1;
  bool is_remote = false;
  std::string remote_ip;

  static constexpr std::array<const char*, 3> field_names{{"session_id", "is_remote", "remote_ip"}};
  auto tie() const { return std::tie(session_id, is_remote, remote_ip); }
  TOVRIN_RECORD_COMPARISON(OsSessionMsg)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, OsSessionMsg& x) {
  return f(caf::meta::type_name("OsSessionMsg"), x.session_id, x.is_remote, x.remote_ip);
}

struct LogonResult {
  int32_t current_step = 0;
  int32_t total_steps = 0;
  std::string ticket;

  static constexpr std::array<const char*, 3> field_names{{"current_step", "total_steps", "ticket"}};
  auto tie() const { return std::tie(current_step, total_steps, ticket); }
  TOVRIN_RECORD_COMPARISON(LogonResult)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, LogonResult& x) {
  return f(caf::meta::type_name("LogonResult"), x.current_step, x.total_steps, x.ticket);
}

struct ListAuthResult {
  std::vector<Authenticator> authenticators;
  std::string last_used_methods;
  int32_t current_step = 0;
  int32_t total_steps = 0;

  static constexpr std::array<const char*, 4> field_names{
    {"authenticators", "last_used_methods", "current_step", "total_steps"}};
  auto tie() const { return std::tie(authenticators, last_used_methods, current_step, total_steps); }
  TOVRIN_RECORD_COMPARISON(ListAuthResult)
};

template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, ListAuthResult& x) {
  return f(caf::meta::type_name("ListAuthResult"), x.authenticators, x.last_used_methods,
           x.current_step, x.total_steps);
}

#undef TOVRIN_RECORD_COMPARISON
