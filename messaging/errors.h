#pragma once

// Error enumerations of the shared vocabulary. Codes and texts are a wire
// contract with the service; the texts are what the user sees.

#include <cstdint>
#include <string>

#include "caf/atom.hpp"
#include "caf/error.hpp"
#include "caf/fwd.hpp"
#include "caf/sec.hpp"
#include "caf/detail/type_erased_value_impl.hpp"

enum class rest_client_error : uint8_t {};
enum class api_error : uint8_t {};
enum class general_error : uint8_t {};
enum class db_error : uint8_t {};
enum class fido_error : uint8_t {
  no_token = 2,
  multiple_tokens = 3,
  pin_incorrect = 4,
  open_device_failed = 5,
  user_not_registered = 6,
  key_timed_out = 7,
  pin_auth_blocked = 8,
  key_not_registered = 9,
  key_not_initialized = 10,
  pin_empty_not_allowed = 11,
  uv_required_no_pin = 12,
  pin_not_set = 13,
  reset_pin_failed = 14,
  uv_required_pin_empty = 15,
  get_otp_failed = 16,
  list_otp_failed = 17,
  no_otp_token = 18,
  operation_denied = 19,
};
enum class pcsc_error : uint8_t {};
enum class network_error : uint8_t {};

std::string to_string(rest_client_error x);
std::string to_string(api_error x);
std::string to_string(general_error x);
std::string to_string(db_error x);
std::string to_string(fido_error x);
std::string to_string(pcsc_error x);
std::string to_string(network_error x);

// Error categories as they travel on the wire (at most 10 characters each).
namespace error_category {
constexpr caf::atom_value rest_client = caf::atom("rest_error");
constexpr caf::atom_value api = caf::atom("api_error");
constexpr caf::atom_value general = caf::atom("gen_error");
constexpr caf::atom_value db = caf::atom("db_error");
constexpr caf::atom_value fido = caf::atom("fido_error");
constexpr caf::atom_value pcsc = caf::atom("pcsc_error");
constexpr caf::atom_value network = caf::atom("net_error");
} // namespace error_category

caf::error make_error(rest_client_error x);
caf::error make_error(api_error x);
caf::error make_error(general_error x);
caf::error make_error(db_error x);
caf::error make_error(fido_error x);
caf::error make_error(pcsc_error x);
caf::error make_error(network_error x);

// True when `err` is `code` of the fido_error category (code and category, never text).
bool is_fido_error(const caf::error& err, fido_error code);

// Lets the actor system render every category above by its texts.
void add_error_categories(caf::actor_system_config& cfg);

// The text form of any error, as the actor system renders it: the code's
// text, then the context in parentheses when there is one.
std::string error_text(const caf::actor_system& sys, const caf::error& err);

// Error enumerations travel only inside errors: saving writes the code as one
// byte, loading a bare value always fails.
#define TOVRIN_DECLARE_REFUSED_LOAD(E)                                         \
  template <>                                                                  \
  caf::error caf::detail::type_erased_value_impl<E>::load(caf::deserializer& source);
TOVRIN_DECLARE_REFUSED_LOAD(rest_client_error)
TOVRIN_DECLARE_REFUSED_LOAD(api_error)
TOVRIN_DECLARE_REFUSED_LOAD(general_error)
TOVRIN_DECLARE_REFUSED_LOAD(db_error)
TOVRIN_DECLARE_REFUSED_LOAD(fido_error)
TOVRIN_DECLARE_REFUSED_LOAD(pcsc_error)
TOVRIN_DECLARE_REFUSED_LOAD(network_error)
#undef TOVRIN_DECLARE_REFUSED_LOAD
