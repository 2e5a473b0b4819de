#include "virtual_key_check.h"

#include <array>
#include <set>
#include <string_view>

#include "virtual_key/key_config.h"
#include "virtual_key/oath_applet.h"

namespace fuzz_checks {

namespace {

using virtual_key::Bytes;
namespace sw = virtual_key::sw;

const char* kKey = R"({"salt": "0000000000000001", "touch_delay_ms": 10, "credentials": [
  {"name": "Example:alice", "secret": "JBSWY3DPEHPK3PXP"},
  {"name": "Bank:carol", "secret": "GEZDGNBVGY3TQOJQ", "period": 60, "digits": 8,
   "algorithm": "SHA256"},
  {"name": "Counter:erin", "secret": "GEZDGNBVGY3TQOJQ", "type": "hotp", "counter": 5},
  {"name": "Touch:zed", "secret": "GEZDGNBVGY3TQOJQ", "touch": true, "algorithm": "SHA512"}]})";

std::string hex(uint16_t status) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int shift = 12; shift >= 0; shift -= 4)
    out += digits[(status >> shift) & 0xF];
  return out;
}

bool known_status(uint16_t status) {
  static const std::set<uint16_t> known = {
      sw::ok,        sw::wrong_length,   sw::security_not_satisfied, sw::no_such_object,
      sw::conditions_not_satisfied,      sw::wrong_data,             sw::file_not_found,
      sw::no_space,  sw::wrong_p1p2,     sw::ins_not_supported,      sw::cla_not_supported};
  return known.count(status) || status >> 8 == 0x61;
}

std::string check_state(const virtual_key::KeyState& state) {
  if (state.credentials.size() > virtual_key::kMaxCredentials)
    return "more than " + std::to_string(virtual_key::kMaxCredentials) + " credentials";
  std::set<std::string> names;
  for (const auto& credential : state.credentials) {
    if (credential.name.empty() || credential.name.size() > virtual_key::kMaxNameSize)
      return "stored a name of " + std::to_string(credential.name.size()) + " bytes";
    if (!names.insert(credential.name).second)
      return "two credentials named \"" + credential.name + "\"";
    if (!crypto::valid_digits(credential.digits))
      return "stored " + std::to_string(credential.digits) + " digits";
    const size_t block = credential.algorithm == crypto::Algorithm::sha512 ? 128 : 64;
    if (credential.secret.size() > block)
      return "stored a secret longer than the hash's block";
  }
  if (state.salt.size() != 8)
    return "salt of " + std::to_string(state.salt.size()) + " bytes";
  return {};
}

std::string check_tlvs(const uint8_t* data, size_t size) {
  const auto tlvs = virtual_key::parse_tlvs(data, size);
  if (!tlvs)
    return {};
  Bytes encoded;
  for (const auto& tlv : *tlvs) {
    if (tlv.tag == virtual_key::tag::property) {
      if (tlv.value.size() != 1)
        return "property without its one byte";
      encoded.push_back(tlv.tag);
      encoded.push_back(tlv.value[0]);
    } else {
      virtual_key::append_tlv(encoded, tlv.tag, tlv.value);
    }
  }
  if (encoded.size() > size)
    return "TLVs encode longer than they parsed from";
  const auto again = virtual_key::parse_tlvs(encoded.data(), encoded.size());
  if (!again || again->size() != tlvs->size())
    return "re-encoded TLVs do not parse the same";
  for (size_t i = 0; i < tlvs->size(); ++i)
    if ((*again)[i].tag != (*tlvs)[i].tag || (*again)[i].value != (*tlvs)[i].value)
      return "re-encoded TLV " + std::to_string(i) + " differs";
  return {};
}

} // namespace

std::string virtual_key_apdus(const uint8_t* data, size_t size) {
  if (size == 0)
    return {};
  const uint8_t mode = data[0];
  const bool password = mode & 1;
  const bool cut_waits = mode & 4;
  // Parsed once: the password's PBKDF2 would otherwise dominate each run.
  static const auto keys = [] {
    std::array<virtual_key::ConfigResult, 4> parsed;
    for (size_t variant = 0; variant < parsed.size(); ++variant) {
      std::string json = kKey;
      if (variant & 1)
        json.insert(1, R"("password": "open sesame", )");
      if (variant & 2)
        json.insert(1, R"("max_response": 17, )");
      parsed[variant] = virtual_key::parse_key_config(json);
    }
    return parsed;
  }();
  const auto& config = keys[mode & 3];
  if (!config)
    return "the fuzz key does not load: " + config.error;
  const size_t max_response = config.config->options.max_response;

  uint8_t counter = 0;
  virtual_key::OathApplet applet(
      config.config->state, config.config->options,
      {[cut_waits](std::chrono::milliseconds) { return !cut_waits; },
       [&counter](uint8_t* out, size_t n) {
         for (size_t i = 0; i < n; ++i)
           out[i] = counter++;
       }});

  bool locked = password;  // until a VALIDATE succeeds after a SELECT
  bool has_password = password;
  bool chained = false;  // the last answer ended in 61xx: SEND REMAINING may follow
  size_t at = 1;
  for (size_t index = 0; at < size; ++index) {
    const size_t length = data[at++];
    const std::string where = "APDU " + std::to_string(index) + ": ";
    if (length == 0) {
      applet.power_off();
      locked = has_password;
      chained = false;
      continue;
    }
    const size_t take = std::min(length, size - at);
    const uint8_t* apdu = data + at;
    at += take;
    if (auto failure = check_tlvs(apdu, take); !failure.empty())
      return where + failure;

    const auto answer = applet.process(apdu, take);
    if (!answer) {
      if (!cut_waits)
        return where + "no answer, though no wait was cut short";
      applet.power_off();
      locked = has_password;
      chained = false;
      continue;
    }
    if (answer->size() < 2)
      return where + "answer without a status word";
    const uint16_t status = virtual_key::status_of(*answer);
    if (!known_status(status))
      return where + "status word " + hex(status);
    const size_t data_size = answer->size() - 2;
    if (data_size > max_response)
      return where + std::to_string(data_size) + " bytes in one response";
    if (data_size > 0 && status != sw::ok && status >> 8 != 0x61)
      return where + "data with status " + hex(status);

    const uint8_t ins = take >= 2 ? apdu[1] : 0;
    const uint8_t p1 = take >= 3 ? apdu[2] : 0;
    const bool answered = status == sw::ok || status >> 8 == 0x61;
    const bool select = ins == 0xA4 && p1 == 0x04;
    // The rest of a chained answer belongs to the command that started it.
    const bool continued = ins == 0xA5 && apdu[0] == 0 && answered;
    if (continued && !chained)
      return where + "SEND REMAINING answered " + hex(status) + " with no chained answer";
    chained = status >> 8 == 0x61;
    if (locked && answered && !select && !continued && ins != 0xA3 && ins != 0x04)
      return where + "a locked key answered INS " + hex(ins).substr(2) + " with " + hex(status);
    // A SELECT that got past the APDU parser ends any validation.
    if (select && apdu[0] == 0 && status != sw::wrong_length)
      locked = has_password;
    if (ins == 0xA3 && status == sw::ok)
      locked = false;
    if (ins == 0x04 && status == sw::ok) {
      has_password = false;
      locked = false;
    }
    if (ins == 0x03 && status == sw::ok)
      has_password = applet.state().access.has_value();
    if (has_password != applet.state().access.has_value())
      return where + "password set or removed without SET CODE or RESET";
    if (auto failure = check_state(applet.state()); !failure.empty())
      return where + failure;
  }
  return {};
}

} // namespace fuzz_checks
