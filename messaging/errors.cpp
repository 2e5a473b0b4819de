#include "errors.h"

#include <functional>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/deserializer.hpp"
#include "caf/message.hpp"

namespace {

struct code_text {
  uint8_t code;
  const char* text;
};

template <size_t N>
std::string lookup(const code_text (&table)[N], uint8_t code, const char* fallback) {
  for (const auto& entry : table)
    if (entry.code == code)
      return entry.text;
  return fallback;
}

constexpr code_text fido_texts[] = {
  {2, "Could not find any FIDO tokens."},
  {3, "More than one FIDO token were found. Only support one FIDO token."},
  {4, "PIN is incorrect."},
  {5, "Failed to open FIDO device."},
  {6, "The user is not registered."},
  {7, "FIDO key timed out."},
  {8, "FIDO PIN auth has been blocked. Try re-plugging the FIDO key."},
  {9, "The FIDO key is not registered with this user."},
  {10, "Error - this FIDO key has not been initialized."},
  {11, "PIN is not allowed to be empty."},
  {12, "User verification is required but the token doesn't have PIN."},
  {13, "PIN is not set on the FIDO key."},
  {14, "Failed to reset PIN"},
  {15, "User verification is required but PIN is empty."},
  {16, "Failed to get OTP."},
  {17, "Failed to list OTP from the device."},
  {18, "The device doesn't have a OTP token."},
  {19, "FIDO operation denied."},
};

constexpr code_text api_texts[] = {
  {0, "API success"}, {1, "API error"},   {2, "API warning"},
  {3, "API info"},    {4, "API failure"}, {5, "API escalate"},
};

constexpr code_text db_texts[] = {
  {1, "Failed to find the user in the local database"},
  {2, "Failed to find any token of the user in database"},
};

constexpr code_text general_texts[] = {
  {1, "Input Error"},
  {2, "Error"},
  {3, "Tarn Response Error Format"},
};

constexpr code_text network_texts[] = {
  {2, "Failed to connect computer logon client."},
  {3, "Failed to connect computer logon agent."},
  {4, "Failed to connect quillon server."},
  {5, "You can only reset AD password when TARN is connectable."},
  {6, "You can only unlock a user when TARN is connectable."},
};

constexpr code_text pcsc_texts[] = {
  {2, "Failed to get serial number"},
  {3, "Failed to connect to reader"},
  {4, "Failed to connect to card"},
};

constexpr code_text rest_client_texts[] = {
  {1, "Failed to connect to TARN"},
  {2, "Failed to send out request due to network connection"},
  {3, "Json format error"},
  {4, "Switch to offline"},
  {5, "Failed to parse TARN response json"},
  {6, "Failed to send out request due to network connection. Logon session was destroyed"},
  {8, "Failed to do socket write"},
  {9, "Failed to do socket read"},
};

template <class E>
uint8_t code_of(E x) {
  return static_cast<uint8_t>(x);
}

// The context of an error: its elements joined by ", ", texts unquoted.
std::string context_text(const caf::message& ctx) {
  std::string result;
  for (size_t i = 0; i < ctx.size(); ++i) {
    if (i > 0)
      result += ", ";
    if (ctx.match_element<std::string>(i))
      result += ctx.get_as<std::string>(i);
    else
      result += ctx.stringify(i);
  }
  return result;
}

template <class E>
void add_category(caf::actor_system_config& cfg, caf::atom_value category) {
  cfg.add_error_category(category,
                         [](uint8_t code, caf::atom_value, const caf::message& ctx) {
                           auto result = to_string(static_cast<E>(code));
                           if (!ctx.empty()) {
                             result += " (";
                             result += context_text(ctx);
                             result += ")";
                           }
                           return result;
                         });
}

} // namespace

std::string to_string(rest_client_error x) {
  return lookup(rest_client_texts, code_of(x), "unknown rest_client_error:");
}

std::string to_string(api_error x) {
  return lookup(api_texts, code_of(x), "unknown api_error");
}

std::string to_string(general_error x) {
  return lookup(general_texts, code_of(x), "unknown general_error");
}

std::string to_string(db_error x) {
  return lookup(db_texts, code_of(x), "unknown db_error");
}

std::string to_string(fido_error x) {
  return lookup(fido_texts, code_of(x), "unknown FIDO error.");
}

std::string to_string(pcsc_error x) {
  return lookup(pcsc_texts, code_of(x), "unknown pcsc error.");
}

std::string to_string(network_error x) {
  return lookup(network_texts, code_of(x), "unknown network error.");
}

caf::error make_error(rest_client_error x) {
  return {code_of(x), error_category::rest_client};
}

caf::error make_error(api_error x) {
  return {code_of(x), error_category::api};
}

caf::error make_error(general_error x) {
  return {code_of(x), error_category::general};
}

caf::error make_error(db_error x) {
  return {code_of(x), error_category::db};
}

caf::error make_error(fido_error x) {
  return {code_of(x), error_category::fido};
}

caf::error make_error(pcsc_error x) {
  return {code_of(x), error_category::pcsc};
}

caf::error make_error(network_error x) {
  return {code_of(x), error_category::network};
}

bool is_fido_error(const caf::error& err, fido_error code) {
  // An empty error has no category or code to read.
  return err && err.category() == error_category::fido && err.code() == code_of(code);
}

void add_error_categories(caf::actor_system_config& cfg) {
  add_category<rest_client_error>(cfg, error_category::rest_client);
  add_category<api_error>(cfg, error_category::api);
  add_category<general_error>(cfg, error_category::general);
  add_category<db_error>(cfg, error_category::db);
  add_category<fido_error>(cfg, error_category::fido);
  add_category<pcsc_error>(cfg, error_category::pcsc);
  add_category<network_error>(cfg, error_category::network);
}

std::string error_text(const caf::actor_system& sys, const caf::error& err) {
  return sys.render(err);
}

// Loading a bare error-enumeration value reads its byte, then fails.
#define TOVRIN_REFUSE_LOAD(E)                                                  \
  template <>                                                                  \
  caf::error caf::detail::type_erased_value_impl<E>::load(caf::deserializer& source) { \
    uint8_t code = 0;                                                          \
    if (auto err = source(code))                                               \
      return err;                                                              \
    return caf::make_error(caf::sec::invalid_argument,                         \
                           "error enumerations travel only inside errors");    \
  }
TOVRIN_REFUSE_LOAD(rest_client_error)
TOVRIN_REFUSE_LOAD(api_error)
TOVRIN_REFUSE_LOAD(general_error)
TOVRIN_REFUSE_LOAD(db_error)
TOVRIN_REFUSE_LOAD(fido_error)
TOVRIN_REFUSE_LOAD(pcsc_error)
TOVRIN_REFUSE_LOAD(network_error)
#undef TOVRIN_REFUSE_LOAD
