#include "oath_applet.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace virtual_key {

const Bytes kOathAid{0xA0, 0x00, 0x00, 0x05, 0x27, 0x21, 0x01};

namespace {

namespace ins {
constexpr uint8_t put = 0x01;
constexpr uint8_t remove = 0x02;
constexpr uint8_t set_code = 0x03;
constexpr uint8_t reset = 0x04;
constexpr uint8_t rename = 0x05;
constexpr uint8_t list = 0xA1;
constexpr uint8_t calculate = 0xA2;
constexpr uint8_t validate = 0xA3;
constexpr uint8_t calculate_all = 0xA4;  // also SELECT's INS, told apart by P1
constexpr uint8_t send_remaining = 0xA5;
constexpr uint8_t select = 0xA4;
}  // namespace ins

constexpr uint8_t kSelectByName = 0x04;
constexpr uint8_t kPropertyIncreasing = 0x01;
constexpr uint8_t kPropertyTouch = 0x02;
constexpr size_t kChallengeSize = 8;

uint8_t algorithm_code(crypto::Algorithm algorithm) {
  switch (algorithm) {
    case crypto::Algorithm::sha1: return 0x01;
    case crypto::Algorithm::sha256: return 0x02;
    case crypto::Algorithm::sha512: return 0x03;
  }
  return 0;
}

std::optional<crypto::Algorithm> algorithm_of(uint8_t code) {
  switch (code & 0x0F) {
    case 0x01: return crypto::Algorithm::sha1;
    case 0x02: return crypto::Algorithm::sha256;
    case 0x03: return crypto::Algorithm::sha512;
    default: return std::nullopt;
  }
}

std::optional<OathType> type_of(uint8_t code) {
  switch (code & 0xF0) {
    case 0x10: return OathType::hotp;
    case 0x20: return OathType::totp;
    default: return std::nullopt;
  }
}

size_t block_size(crypto::Algorithm algorithm) {
  return algorithm == crypto::Algorithm::sha512 ? 128 : 64;
}

// The value of the first TLV with this tag, or nullptr.
const Bytes* first(const std::vector<Tlv>& tlvs, uint8_t wanted) {
  for (const auto& tlv : tlvs)
    if (tlv.tag == wanted)
      return &tlv.value;
  return nullptr;
}

bool valid_name(const Bytes& name) { return !name.empty() && name.size() <= kMaxNameSize; }

void append_u32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(value >> shift));
}

// 0x76 (digits, 4 truncated bytes) or 0x75 (digits, full HMAC).
void append_code(Bytes& out, const Credential& credential, const Bytes& mac, bool truncated) {
  Bytes value{static_cast<uint8_t>(credential.digits)};
  if (truncated) {
    append_u32(value, truncate(mac));
    append_tlv(out, tag::truncated, value);
  } else {
    value.insert(value.end(), mac.begin(), mac.end());
    append_tlv(out, tag::response, value);
  }
}

Bytes mac_of(const Credential& credential, const Bytes& message) {
  return crypto::hmac(credential.algorithm, credential.secret, message);
}

}  // namespace

uint32_t truncate(const Bytes& mac) {
  const size_t offset = mac.back() & 0x0F;
  return (uint32_t{mac[offset]} & 0x7F) << 24 | uint32_t{mac[offset + 1]} << 16
         | uint32_t{mac[offset + 2]} << 8 | mac[offset + 3];
}

OathApplet::OathApplet(KeyState state, AppletOptions options, AppletSeams seams)
    : state_(std::move(state)), options_(options), seams_(std::move(seams)) {
  options_.max_response = std::clamp<size_t>(options_.max_response, 1, 256);
}

void OathApplet::power_off() {
  selected_ = false;
  validated_ = false;
  challenge_.reset();
  pending_.clear();
}

std::optional<Bytes> OathApplet::process(const uint8_t* apdu, size_t size) {
  auto parsed = parse_command(apdu, size);
  if (auto* status = std::get_if<uint16_t>(&parsed)) {
    pending_.clear();
    return response(*status);
  }
  const auto& command = std::get<Command>(parsed);
  if (command.cla != 0) {
    pending_.clear();
    return response(sw::cla_not_supported);
  }
  if (command.ins == ins::send_remaining && selected_)
    return send_remaining();
  // Any other command drops what a chained response still held.
  pending_.clear();
  auto answer = dispatch(command);
  if (!answer)
    return std::nullopt;
  if (answer->status != sw::ok)
    return response(answer->status);
  return chunk(std::move(answer->data));
}

std::optional<OathApplet::Answer> OathApplet::dispatch(const Command& command) {
  if (command.ins == ins::select && command.p1 == kSelectByName)
    return select(command);
  if (!selected_)
    return Answer{{}, sw::ins_not_supported};
  switch (command.ins) {
    case ins::validate: return validate(command);
    case ins::reset: return reset(command);
    case ins::put:
    case ins::remove:
    case ins::set_code:
    case ins::rename:
    case ins::list:
    case ins::calculate:
    case ins::calculate_all: break;
    default: return Answer{{}, sw::ins_not_supported};
  }
  if (locked())
    return Answer{{}, sw::security_not_satisfied};
  switch (command.ins) {
    case ins::put: return put(command);
    case ins::remove: return remove(command);
    case ins::set_code: return set_code(command);
    case ins::rename: return rename(command);
    case ins::list: return list();
    case ins::calculate: return calculate(command);
    default: return calculate_all(command);
  }
}

bool OathApplet::locked() const { return state_.access && !validated_; }

Credential* OathApplet::find(const Bytes& name) {
  // Byte for byte: a plain char compare would miss every name with a byte >= 0x80 (UTF-8).
  for (auto& credential : state_.credentials)
    if (credential.name.size() == name.size()
        && std::memcmp(name.data(), credential.name.data(), name.size()) == 0)
      return &credential;
  return nullptr;
}

OathApplet::Answer OathApplet::select(const Command& command) {
  validated_ = false;
  challenge_.reset();
  if (command.data != kOathAid) {
    selected_ = false;
    return {{}, sw::file_not_found};
  }
  selected_ = true;
  Bytes out;
  append_tlv(out, tag::version, state_.version.data(), state_.version.size());
  append_tlv(out, tag::name, state_.salt);
  if (state_.access) {
    Bytes challenge(kChallengeSize);
    seams_.random(challenge.data(), challenge.size());
    append_tlv(out, tag::challenge, challenge);
    const uint8_t algorithm = algorithm_code(state_.access->algorithm);
    append_tlv(out, tag::algorithm, &algorithm, 1);
    challenge_ = std::move(challenge);
  }
  return {out};
}

OathApplet::Answer OathApplet::list() const {
  Bytes out;
  for (const auto& credential : state_.credentials) {
    Bytes entry{static_cast<uint8_t>(static_cast<uint8_t>(credential.type)
                                     | algorithm_code(credential.algorithm))};
    entry.insert(entry.end(), credential.name.begin(), credential.name.end());
    append_tlv(out, tag::name_list, entry);
  }
  return {out};
}

OathApplet::Answer OathApplet::put(const Command& command) {
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  if (!tlvs)
    return {{}, sw::wrong_data};
  const Bytes* name = first(*tlvs, tag::name);
  const Bytes* key = first(*tlvs, tag::key);
  const Bytes* property = first(*tlvs, tag::property);
  const Bytes* imf = first(*tlvs, tag::imf);
  if (!name || !valid_name(*name) || !key || key->size() < 2)
    return {{}, sw::wrong_data};
  const auto type = type_of((*key)[0]);
  const auto algorithm = algorithm_of((*key)[0]);
  const int digits = (*key)[1];
  if (!type || !algorithm || !crypto::valid_digits(digits)
      || key->size() - 2 > block_size(*algorithm))
    return {{}, sw::wrong_data};
  if (imf && imf->size() != 4)
    return {{}, sw::wrong_data};

  Credential credential;
  credential.name.assign(name->begin(), name->end());
  credential.type = *type;
  credential.algorithm = *algorithm;
  credential.digits = digits;
  credential.secret.assign(key->begin() + 2, key->end());
  if (property) {
    credential.touch = ((*property)[0] & kPropertyTouch) != 0;
    credential.increasing_only = ((*property)[0] & kPropertyIncreasing) != 0;
  }
  if (imf && *type == OathType::hotp)
    credential.counter = uint32_t{(*imf)[0]} << 24 | uint32_t{(*imf)[1]} << 16
                         | uint32_t{(*imf)[2]} << 8 | (*imf)[3];

  if (Credential* existing = find(*name)) {
    *existing = std::move(credential);
  } else {
    if (state_.credentials.size() >= kMaxCredentials)
      return {{}, sw::no_space};
    state_.credentials.push_back(std::move(credential));
  }
  return {};
}

OathApplet::Answer OathApplet::remove(const Command& command) {
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  const Bytes* name = tlvs ? first(*tlvs, tag::name) : nullptr;
  if (!name)
    return {{}, sw::wrong_data};
  Credential* credential = find(*name);
  if (!credential)
    return {{}, sw::no_such_object};
  state_.credentials.erase(state_.credentials.begin() + (credential - state_.credentials.data()));
  return {};
}

OathApplet::Answer OathApplet::rename(const Command& command) {
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  if (!tlvs)
    return {{}, sw::wrong_data};
  std::vector<const Bytes*> names;
  for (const auto& tlv : *tlvs)
    if (tlv.tag == tag::name)
      names.push_back(&tlv.value);
  if (names.size() != 2 || !valid_name(*names[1]))
    return {{}, sw::wrong_data};
  Credential* credential = find(*names[0]);
  if (!credential)
    return {{}, sw::no_such_object};
  if (Credential* other = find(*names[1]); other && other != credential)
    return {{}, sw::wrong_data};
  credential->name.assign(names[1]->begin(), names[1]->end());
  return {};
}

OathApplet::Answer OathApplet::set_code(const Command& command) {
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  const Bytes* key = tlvs ? first(*tlvs, tag::key) : nullptr;
  if (!key)
    return {{}, sw::wrong_data};
  if (key->empty()) {
    state_.access.reset();
    return {};
  }
  const Bytes* challenge = first(*tlvs, tag::challenge);
  const Bytes* answer = first(*tlvs, tag::response);
  const auto algorithm = algorithm_of((*key)[0]);
  if (!type_of((*key)[0]) || !algorithm || key->size() < 2 || key->size() - 1 > 64 || !challenge
      || !answer)
    return {{}, sw::wrong_data};
  AccessKey access{*algorithm, Bytes(key->begin() + 1, key->end())};
  // The host proves that the key it sends arrived whole.
  if (*answer != crypto::hmac(access.algorithm, access.key, *challenge))
    return {{}, sw::wrong_data};
  state_.access = std::move(access);
  validated_ = true;
  return {};
}

OathApplet::Answer OathApplet::reset(const Command& command) {
  if (command.p1 != 0xDE || command.p2 != 0xAD)
    return {{}, sw::wrong_p1p2};
  state_.credentials.clear();
  state_.access.reset();
  seams_.random(state_.salt.data(), state_.salt.size());
  validated_ = false;
  challenge_.reset();
  return {};
}

OathApplet::Answer OathApplet::validate(const Command& command) {
  if (!state_.access)
    return {{}, sw::no_such_object};
  // One challenge, one try: a client selects again before the next one.
  const auto challenge = std::exchange(challenge_, std::nullopt);
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  const Bytes* answer = tlvs ? first(*tlvs, tag::response) : nullptr;
  const Bytes* host_challenge = tlvs ? first(*tlvs, tag::challenge) : nullptr;
  if (!answer || !host_challenge || !challenge)
    return {{}, sw::wrong_data};
  const auto& access = *state_.access;
  if (*answer != crypto::hmac(access.algorithm, access.key, *challenge))
    return {{}, sw::wrong_data};
  validated_ = true;
  Bytes out;
  append_tlv(out, tag::response, crypto::hmac(access.algorithm, access.key, *host_challenge));
  return {out};
}

std::optional<OathApplet::Answer> OathApplet::calculate(const Command& command) {
  if (command.p2 > 1)
    return Answer{{}, sw::wrong_p1p2};
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  const Bytes* name = tlvs ? first(*tlvs, tag::name) : nullptr;
  const Bytes* challenge = tlvs ? first(*tlvs, tag::challenge) : nullptr;
  if (!name || !challenge)
    return Answer{{}, sw::wrong_data};
  Credential* credential = find(*name);
  if (!credential)
    return Answer{{}, sw::no_such_object};
  if (credential->touch) {
    const bool touched = options_.touch_delay && *options_.touch_delay <= options_.touch_timeout;
    if (!seams_.wait(touched ? *options_.touch_delay : options_.touch_timeout))
      return std::nullopt;
    if (!touched)
      return Answer{{}, sw::security_not_satisfied};
  }
  Bytes message = *challenge;
  if (credential->type == OathType::hotp) {
    message.clear();
    for (int shift = 56; shift >= 0; shift -= 8)
      message.push_back(static_cast<uint8_t>(credential->counter >> shift));
    ++credential->counter;
  }
  Answer out;
  append_code(out.data, *credential, mac_of(*credential, message), command.p2 == 1);
  return out;
}

OathApplet::Answer OathApplet::calculate_all(const Command& command) const {
  if (command.p2 > 1)
    return {{}, sw::wrong_p1p2};
  const auto tlvs = parse_tlvs(command.data.data(), command.data.size());
  const Bytes* challenge = tlvs ? first(*tlvs, tag::challenge) : nullptr;
  if (!challenge)
    return {{}, sw::wrong_data};
  Bytes out;
  for (const auto& credential : state_.credentials) {
    append_tlv(out, tag::name, reinterpret_cast<const uint8_t*>(credential.name.data()),
               credential.name.size());
    const uint8_t digits = static_cast<uint8_t>(credential.digits);
    if (credential.touch)
      append_tlv(out, tag::touch, &digits, 1);
    else if (credential.type == OathType::hotp)
      append_tlv(out, tag::hotp, &digits, 1);
    else
      append_code(out, credential, mac_of(credential, *challenge), command.p2 == 1);
  }
  return {out};
}

Bytes OathApplet::send_remaining() {
  if (pending_.empty())
    return response(sw::conditions_not_satisfied);
  return chunk(std::exchange(pending_, {}));
}

Bytes OathApplet::chunk(Bytes data) {
  if (data.size() <= options_.max_response)
    return response(data, sw::ok);
  pending_.assign(data.begin() + options_.max_response, data.end());
  data.resize(options_.max_response);
  const size_t left = pending_.size();
  return response(data, static_cast<uint16_t>(sw::more_data | (left > 0xFF ? 0 : left)));
}

}  // namespace virtual_key
