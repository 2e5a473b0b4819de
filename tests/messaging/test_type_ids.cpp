// Type IDs and registered names of the vocabulary: the order and the names are
// what both ends of the connection agree on.

#include <set>
#include <string>
#include <type_traits>
#include <typeindex>
#include <vector>

#include <gtest/gtest.h>

#include "caf/atom.hpp"
#include "caf/type_nr.hpp"

#include "quill_common_config.h"
#include "test_support.h"
#include "vocabulary.h"

// Compile-time identity of a few entries; CAF's own atoms are different types.
static_assert(caf::type_id<::get_atom>::value == 220);
static_assert(!std::is_same<::get_atom, caf::get_atom>::value);
static_assert(!std::is_same<::tick_atom, caf::tick_atom>::value);
static_assert(!std::is_same<::connect_atom, caf::connect_atom>::value);
static_assert(caf::type_id<::hello_atom>::value == 200);
static_assert(caf::type_id<::actor_smartcard_atom>::value == 464);
static_assert(caf::type_id<OtpTokenInfo>::value == 444);
static_assert(caf::type_id<std::vector<OtpTokenInfo>>::value == 447);
static_assert(caf::type_id<std::tuple<std::string, std::string>>::value == 420);
static_assert(caf::type_id<fido_error>::value == 357);
static_assert(std::is_same<caf::type_by_id<441>::type, ::actor_fido_otp>::value);
static_assert(std::is_same<caf::type_by_id<307>::type, std::vector<std::string>>::value);
static_assert(caf::id_block::tovrin::begin == 200 && caf::id_block::tovrin::end == 465);
static_assert(std::is_empty<::duplicated_____atom>::value);

namespace {

// The registered names in ID order, starting at 200.
const char* const expected_names[] = {
  /* 200 */ "hello_atom", "listen_on_atom", "connect_atom", "get_log_filename_atom",
  /* 204 */ "get_version_atom", "connect_once_atom", "api_command_atom", "try_atom",
  /* 208 */ "is_connected_atom", "init_atom", "post_atom", "list_authenticators_atom",
  /* 212 */ "logon_atom", "logon_no2fa_atom", "sync_offline_token_atom", "send_otp_atom",
  /* 216 */ "get_policy_atom", "create_session_atom", "actor_logon_session_atom", "set_atom",
  /* 220 */ "get_atom", "message_atom", "run_atom", "reset_atom",
  /* 224 */ "on_online_atom", "on_offline_atom", "logon_passed_atom", "logon_failed_atom",
  /* 228 */ "show_message_atom", "show_error_atom", "show_info_atom", "config_atom",
  /* 232 */ "get_session_num_atom", "get_session_id_atom", "contain_atom", "consume_atom",
  /* 236 */ "applications_atom", "app_msg_atom", "create_atom", "agent_atom",
  /* 240 */ "tarn_auth_call_atom", "get_odp_available_channel_atom", "odp_available_channels_atom", "succeeded_atom",
  /* 244 */ "failed_atom", "mfa_not_required_atom", "cache_atom", "app_custom_atom",
  /* 248 */ "rest_client_error", "api_error", "general_error", "get_remote_actor_atom",
  /* 252 */ "actor_agent_atom", "reload_agent_info_atom", "enable_ssl_atom", "update_version_atom",
  /* 256 */ "actor_server_session_manager", "saml_request_atom", "is_authenticated_atom", "authenticated_atom",
  /* 260 */ "saml_logout_response_atom", "saml_logout_request_atom", "remove_session_atom", "load_sso_atom",
  /* 264 */ "rest_session_info_atom", "actor_win_session_manager", "last_lock_time_atom", "customization_atom",
  /* 268 */ "agent_online_atom", "agent_offline_atom", "actor_ui_frame_atom", "actor_console_session_atom",
  /* 272 */ "set_iteractive_mode_atom", "start_atom", "set_wait_mode_atom", "authenticators_atom",
  /* 276 */ "set_username_atom", "set_user_atom", "pulse_atom", "query_2fa_atom",
  /* 280 */ "fit_atom", "update_connection_status_atom", "adjust_size_atom", "mac_keep_set_visible_atom",
  /* 284 */ "show_atom", "enable_button_atom", "ping_pong_atom", "pam_tarn_login_succeeded_atom",
  /* 288 */ "pam_tarn_failure_atom", "pam_show_error_atom", "pam_show_message_atom", "pam_get_input_atom",
  /* 292 */ "pam_input_atom", "pam_build_ui_atom", "pam_switch_authenticator_atom", "pam_activate_authenticator_atom",
  /* 296 */ "sso_servers_atom", "service_providers_atom", "tarn_call_atom", "e_credential_type",
  /* 300 */ "vector<e_credential_type>", "LCEvent", "SessionDetail", "TarnConnectEvent",
  /* 304 */ "TblPolicy", "vector<TblPolicy>", "entities", "vector<std::string>",
  /* 308 */ "input_name_atom", "notify_atom", "tarn_atom", "screen_lock_atom",
  /* 312 */ "list_token_atom", "ooba_atom", "result_atom", "mfa_mandate_atom",
  /* 316 */ "create_instant_atom", "wait_atom", "retry_atom", "db_error",
  /* 320 */ "OdpChannel", "vector<OdpChannel>", "show_menu_atom", "clean_atom",
  /* 324 */ "Authenticator", "vector<Authenticator>", "check_atom", "pin_atom",
  /* 328 */ "require_atom", "change_atom", "save_db_atom", "client_info_atom",
  /* 332 */ "lc_status_atom", "del_token_atom", "vector<int>", "offline_data_atom",
  /* 336 */ "address_atom", "manual_agents_atom", "del_atom", "insert_atom",
  /* 340 */ "AgentDiscoveryInfo", "vector<AgentDiscoveryInfo>", "agent_discovery_info_atom", "policy_atom",
  /* 344 */ "win_session_atom", "append_atom", "duplicated_____atom", "lock_atom",
  /* 348 */ "port_to_fullname_atom", "signout_atom", "log_level_atom", "e_login_scenario",
  /* 352 */ "LogonMFAOptions", "fido2_atom", "pre_auth_atom", "credential_atom",
  /* 356 */ "reg_atom", "fido_error", "page_atom", "ui_atom",
  /* 360 */ "query_available_channel_atom", "send_atom", "activation_code_atom", "activate_atom",
  /* 364 */ "channel_atom", "hide_atom", "enable_atom", "next_atom",
  /* 368 */ "request_atom", "display_atom", "back_atom", "pcsc_error",
  /* 372 */ "ac_card_atom", "list_atom", "cr_atom", "token_atom",
  /* 376 */ "challenge_code_atom", "CrToken", "vector<CrToken>", "grid_id_atom",
  /* 380 */ "e_hardware_op", "HardwareEvent", "do_monitor_atom", "stop_atom",
  /* 384 */ "loop_atom", "loop_done_atom", "hardware_atom", "health_check_atom",
  /* 388 */ "remaining_atom", "time_atom", "countdown_atom", "get_actor_atom",
  /* 392 */ "alarm_atom", "serial_atom", "down_atom", "up_atom",
  /* 396 */ "refresh_atom", "otp_atom", "FlatOdpChannel", "pam_atom",
  /* 400 */ "map_atom", "delete_atom", "local_atom", "enforce_mfa_atom",
  /* 404 */ "update_atom", "client_atom", "done_atom", "has_atom",
  /* 408 */ "uv_atom", "disable_atom", "mapping_atom", "domain_atom",
  /* 412 */ "shortcut_atom", "e_cp_filter_mode", "CredentialProviderFilter", "cp_filter_atom",
  /* 416 */ "new_atom", "path_atom", "auth_atom", "resp_atom",
  /* 420 */ "std::tuple<std::string, std::string>", "FidoAuthResp", "make_atom", "cred_atom",
  /* 424 */ "network_error", "CurrentUserIncMapping", "CurrentUserName", "OsSessionMsg",
  /* 428 */ "rdp_atom", "qna_atom", "client_instant_atom", "cert_atom",
  /* 432 */ "passwordless_atom", "to_atom", "upn_atom", "downlevel_atom",
  /* 436 */ "fingerprint_atom", "cancel_atom", "open_atom", "close_atom",
  /* 440 */ "name_atom", "actor_fido_otp", "progress_atom", "tick_atom",
  /* 444 */ "OtpTokenInfo", "info_atom", "msg_atom", "vector<OtpTokenInfo>",
  /* 448 */ "access_atom", "verify_atom", "expire_atom", "hwaccess_atom",
  /* 452 */ "compliant_atom", "PinPolicyResult", "actor_fido", "mngr_atom",
  /* 456 */ "LogonResult", "restart_atom", "v2_atom", "ListAuthResult",
  /* 460 */ "password_atom", "validate_atom", "smartcard_atom", "container_atom",
  /* 464 */ "actor_smartcard_atom", 
};

// A value made from the entry's name is of the entry's type. Builtin types of
// the actor library carry a type number instead of type info.
void expect_value_of_entry_type(caf::actor_system& sys, const vocabulary_entry& e) {
  auto value = sys.types().make_value(e.name);
  ASSERT_NE(value, nullptr) << e.name;
  auto type = value->type();
  if (type.second == nullptr) {
    EXPECT_EQ(*e.rtti, typeid(std::vector<std::string>)) << e.name;
    EXPECT_EQ(type.first, caf::type_nr<std::vector<std::string>>::value) << e.name;
  } else {
    EXPECT_EQ(type.first, 0) << e.name;
    EXPECT_EQ(*type.second, *e.rtti) << e.name;
  }
}

} // namespace

TEST(TypeIds, TableHasAllEntriesInIdOrder) {
  const auto& table = vocabulary();
  ASSERT_EQ(std::size(expected_names), 265u);
  ASSERT_EQ(table.size(), std::size(expected_names));
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].id, 200 + i);
    EXPECT_STREQ(table[i].name, expected_names[i]) << "ID " << table[i].id;
    ASSERT_NE(table[i].rtti, nullptr);
  }
}

TEST(TypeIds, NamedEntriesSitAtTheirIds) {
  struct probe {
    uint16_t id;
    const char* name;
  };
  const probe probes[] = {
    {200, "hello_atom"}, {209, "init_atom"}, {219, "set_atom"}, {220, "get_atom"},
    {248, "rest_client_error"}, {249, "api_error"}, {250, "general_error"},
    {272, "set_iteractive_mode_atom"}, {300, "vector<e_credential_type>"},
    {307, "vector<std::string>"}, {319, "db_error"}, {326, "check_atom"},
    {327, "pin_atom"}, {329, "change_atom"}, {343, "policy_atom"},
    {346, "duplicated_____atom"}, {357, "fido_error"}, {366, "enable_atom"},
    {383, "stop_atom"}, {397, "otp_atom"}, {407, "has_atom"},
    {420, "std::tuple<std::string, std::string>"}, {440, "name_atom"},
    {441, "actor_fido_otp"}, {442, "progress_atom"}, {443, "tick_atom"},
    {444, "OtpTokenInfo"}, {445, "info_atom"}, {446, "msg_atom"},
    {447, "vector<OtpTokenInfo>"}, {448, "access_atom"}, {449, "verify_atom"},
    {450, "expire_atom"}, {451, "hwaccess_atom"}, {452, "compliant_atom"},
    {453, "PinPolicyResult"}, {454, "actor_fido"}, {464, "actor_smartcard_atom"},
  };
  const auto& table = vocabulary();
  for (const auto& p : probes) {
    ASSERT_LT(p.id - 200u, table.size());
    EXPECT_STREQ(table[p.id - 200].name, p.name) << "ID " << p.id;
  }
  EXPECT_STREQ(caf::type_name_by_id<220>::value, "get_atom");
  EXPECT_STREQ(caf::type_name<std::vector<OtpTokenInfo>>::value, "vector<OtpTokenInfo>");
}

TEST(TypeIds, NamesAndTypesAreUnique) {
  std::set<std::string> names;
  std::set<std::type_index> types;
  for (const auto& e : vocabulary()) {
    EXPECT_TRUE(names.insert(e.name).second) << e.name;
    EXPECT_TRUE(types.insert(std::type_index(*e.rtti)).second) << e.name;
  }
}

TEST(TypeIds, KindsMatchTheTypes) {
  size_t counts[6] = {};
  for (const auto& e : vocabulary()) {
    ++counts[static_cast<int>(e.kind)];
    std::string name = e.name;
    switch (e.kind) {
      case type_kind::atom:
        EXPECT_TRUE((name.size() > 5 && name.rfind("_atom") == name.size() - 5)
                    || name.rfind("actor_", 0) == 0)
          << name;
        break;
      case type_kind::list:
        EXPECT_EQ(name.rfind("vector<", 0), 0u) << name;
        break;
      case type_kind::error_enum:
        EXPECT_NE(name.find("error"), std::string::npos) << name;
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(counts[static_cast<int>(type_kind::atom)], 223u);
  EXPECT_EQ(counts[static_cast<int>(type_kind::record)], 19u);
  EXPECT_EQ(counts[static_cast<int>(type_kind::list)], 9u);
  EXPECT_EQ(counts[static_cast<int>(type_kind::pair)], 1u);
  EXPECT_EQ(counts[static_cast<int>(type_kind::plain_enum)], 6u);
  EXPECT_EQ(counts[static_cast<int>(type_kind::error_enum)], 7u);
}

using TypeRegistry = system_test;

TEST_F(TypeRegistry, EveryNameMakesAValueOfItsType) {
  for (const auto& e : vocabulary())
    expect_value_of_entry_type(sys, e);
}

TEST_F(TypeRegistry, EveryTypeResolvesToItsName) {
  for (const auto& e : vocabulary())
    EXPECT_EQ(sys.types().portable_name(0, e.rtti), e.name);
  EXPECT_EQ(sys.types().portable_name(0, &typeid(std::vector<OtpTokenInfo>)),
            "vector<OtpTokenInfo>");
  EXPECT_EQ(sys.types().portable_name(0, &typeid(::get_atom)), "get_atom");
}

// std::vector<std::string> is also a builtin of the actor library ("@strvec",
// with its own type number). Looked up by type info alone it resolves to our
// name; a value made from our name carries the builtin number, so inside a
// message it travels under "@strvec", which both ends know.
TEST_F(TypeRegistry, StringVectorIsTheBuiltinUnderOurName) {
  constexpr auto strvec_nr = caf::type_nr<std::vector<std::string>>::value;
  ASSERT_NE(strvec_nr, 0);
  EXPECT_EQ(sys.types().portable_name(0, &typeid(std::vector<std::string>)),
            "vector<std::string>");
  EXPECT_EQ(sys.types().portable_name(strvec_nr, nullptr), "@strvec");
  auto value = sys.types().make_value("vector<std::string>");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type().first, strvec_nr);
  EXPECT_EQ(sys.types().portable_name(value->type()), "@strvec");
}

TEST_F(TypeRegistry, UnregisteredNamesMakeNothing) {
  EXPECT_EQ(sys.types().make_value("std::vector<OtpTokenInfo>"), nullptr);
  EXPECT_EQ(sys.types().make_value("duplicated____atom"), nullptr);
  EXPECT_EQ(sys.types().make_value("get_atom "), nullptr);
}

// The application's own configuration also loads the I/O module; its types
// must not shadow or displace ours.
TEST(TypeRegistryWithMiddleman, EveryEntryResolves) {
  quill_common_config cfg;
  init_global_meta_objects(cfg);
  caf::actor_system sys{cfg};
  for (const auto& e : vocabulary()) {
    expect_value_of_entry_type(sys, e);
    EXPECT_EQ(sys.types().portable_name(0, e.rtti), e.name);
  }
}
