#include "checks.h"

#include <cstdint>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sim/key_config.h"
#include "crypto/totp.h"

namespace fuzz_checks {

namespace {

// Codes are computed for this many tokens only; generated lists can be long.
constexpr size_t coded_tokens = 4;

// Inputs asking for more work than this are skipped. The parser allows up to
// 1000000 generated tokens and 16 MiB per repeated name on purpose; that much
// takes seconds per input under the sanitizers and would only report the
// documented limits as timeouts.
constexpr uint64_t max_generated_tokens = 20000;
constexpr uint64_t max_repeated_name_bytes = uint64_t{32} << 20;

uint64_t count_of(const nlohmann::json& object) {
  auto count = object.find("count");
  if (count == object.end() || !count->is_number_integer())
    return 0;
  if (count->is_number_unsigned())
    return count->get<uint64_t>();
  return count->get<int64_t>() > 0 ? static_cast<uint64_t>(count->get<int64_t>()) : 0;
}

bool within_budget(const std::string& text) {
  const auto root = nlohmann::json::parse(text, nullptr, false);
  if (!root.is_object())
    return true;
  auto generate = root.find("generate_tokens");
  if (generate != root.end() && generate->is_object()
      && count_of(*generate) > max_generated_tokens)
    return false;
  auto tokens = root.find("tokens");
  if (tokens == root.end() || !tokens->is_array())
    return true;
  uint64_t repeated = 0;
  for (const auto& token : *tokens) {
    if (!token.is_object())
      continue;
    auto repeat = token.find("name_repeat");
    if (repeat == token.end() || !repeat->is_object())
      continue;
    auto piece = repeat->find("text");
    if (piece == repeat->end() || !piece->is_string())
      continue;
    const uint64_t count = count_of(*repeat);
    const uint64_t size = piece->get_ref<const std::string&>().size();
    if (size != 0 && count > max_repeated_name_bytes / size)
      return false;
    repeated += size * count;
    if (repeated > max_repeated_name_bytes)
      return false;
  }
  return true;
}

bool one_line(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20)
      return false;
  return true;
}

std::string check_token(const sim::Token& token, size_t index) {
  const std::string where = "tokens[" + std::to_string(index) + "]: ";
  if (token.digits < 6 || token.digits > 8)
    return where + "digits " + std::to_string(token.digits) + " outside 6..8";
  if (token.secret.empty())
    return where + "empty secret";
  auto decoded = crypto::base32_decode(token.secret_base32);
  if (!decoded || *decoded != token.secret)
    return where + "secret does not match its base32 text";
  if (index < coded_tokens) {
    const auto code = crypto::totp(token.secret, 1700000000, token.period, token.digits,
                                token.algorithm);
    if (code.size() != static_cast<size_t>(token.digits))
      return where + "code \"" + code + "\" is not " + std::to_string(token.digits)
             + " long";
    for (char c : code)
      if (c < '0' || c > '9')
        return where + "code \"" + code + "\" has a non-digit";
  }
  return {};
}

std::string check_config(const sim::KeyConfig& config) {
  std::set<std::string_view> names;
  for (size_t i = 0; i < config.tokens.size(); ++i) {
    if (auto failure = check_token(config.tokens[i], i); !failure.empty())
      return failure;
    if (!names.insert(config.tokens[i].name).second)
      return "tokens[" + std::to_string(i) + "]: duplicate name accepted";
  }
  const auto& policy = config.pin_policy;
  if (policy.min_length < 1 || policy.min_length > policy.max_length
      || policy.max_length > 1000)
    return "pin_policy: min " + std::to_string(policy.min_length) + ", max "
           + std::to_string(policy.max_length);
  if (config.pin && config.pin->empty())
    return "pin: empty PIN accepted";
  if (config.touch_delay_ms > 3600000)
    return "touch_delay_ms out of range";
  if (config.max_pin_tries < 0 || config.max_pin_tries > 1000)
    return "max_pin_tries out of range";
  for (const auto& [request, faults] : config.faults) {
    const std::string where = "faults." + std::string{sim::request_name(request)} + ": ";
    if (sim::request_name(request) == "unknown")
      return where + "unknown request accepted";
    for (const auto& fault : faults) {
      if (fault.count != sim::Fault::kForever && fault.count < 1)
        return where + "count " + std::to_string(fault.count);
      if (!fault.hang && fault.fido_error_code == 0)
        return where + "neither a code nor a hang";
    }
  }
  return {};
}

} // namespace

std::string sim_config(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!within_budget(text))
    return {};
  const auto result = sim::parse_config(text);
  if (!result) {
    if (result.error.empty())
      return "refused without a message";
    if (!one_line(result.error))
      return "message is not one printable line: " + result.error;
    return {};
  }
  if (!result.error.empty())
    return "accepted with a message: " + result.error;
  return check_config(*result.config);
}

} // namespace fuzz_checks
