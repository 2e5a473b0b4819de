#include "fake_key.h"

#include <algorithm>
#include <cstdio>

#include "crypto/totp.h"
#include "oath/apdu.h"
#include "oath/secret.h"
#include "oath/tlv.h"

namespace {

oath::Answer status(uint16_t sw) { return oath::Answer{{}, sw}; }

// The value of the first record with `tag`, or nullopt.
std::optional<oath::Bytes> find(oath::ByteView data, uint8_t tag) {
  auto records = oath::parse_tlvs(data);
  if (!records)
    return std::nullopt;
  for (const auto& record : *records)
    if (record.tag == tag)
      return record.value.copy();
  return std::nullopt;
}

} // namespace

FakeKey::FakeKey(oath::Bytes salt, std::vector<FakeCredential> creds)
  : credentials(std::move(creds)), salt_(std::move(salt)) {}

void FakeKey::set_password(const std::string& pin) {
  if (pin.empty())
    key_.reset();
  else
    key_ = oath::derive_key(pin, salt_).view().copy();
}

bool FakeKey::opens_with(const std::string& pin) const {
  return key_ && *key_ == oath::derive_key(pin, salt_).view().copy();
}

int FakeKey::count(const std::string& ins) const {
  return static_cast<int>(std::count(log.begin(), log.end(), ins));
}

oath::Answer FakeKey::handle(oath::ByteView apdu) {
  if (apdu.size() < 4)
    return status(oath::sw::wrong_length);
  log.push_back(oath::hex(apdu.sub(1, 1)));
  if (intercept)
    if (auto answer = intercept(apdu))
      return *answer;
  const uint8_t ins = apdu[1];
  const uint8_t p1 = apdu[2];
  const oath::ByteView data = apdu.size() > 5 ? apdu.sub(5, apdu[4]) : oath::ByteView{};
  if (ins == oath::ins::select && p1 == 0x04) {
    validated_ = false;
    oath::Bytes answer;
    oath::put_tlv(answer, oath::tag::version, oath::Bytes{5, 4, 3});
    oath::put_tlv(answer, oath::tag::name, salt_);
    if (key_) {
      challenge_ = oath::Bytes{1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(log.size())};
      oath::put_tlv(answer, oath::tag::challenge, challenge_);
      oath::put_tlv(answer, oath::tag::algorithm, oath::Bytes{0x01});
    }
    return oath::Answer{answer, oath::sw::ok};
  }
  if (ins == oath::ins::validate) {
    auto response = find(data, oath::tag::response);
    auto host = find(data, oath::tag::challenge);
    if (!key_ || !response || !host)
      return status(oath::sw::wrong_data);
    if (*response != oath::hmac_sha1(*key_, challenge_))
      return status(oath::sw::wrong_data);
    validated_ = true;
    oath::Bytes mine = oath::hmac_sha1(*key_, *host);
    if (fake_validation)
      mine[3] ^= 0x40;
    return oath::Answer{oath::tlv(oath::tag::response, mine), oath::sw::ok};
  }
  if (key_ && !validated_)
    return status(oath::sw::security_not_satisfied);
  switch (ins) {
    case oath::ins::list: {
      oath::Bytes answer;
      for (const auto& credential : credentials) {
        oath::Bytes entry{static_cast<uint8_t>(credential.totp ? 0x21 : 0x11)};
        oath::append(entry, oath::view_of(credential.name));
        oath::put_tlv(answer, oath::tag::name_list, entry);
      }
      return oath::Answer{answer, oath::sw::ok};
    }
    case oath::ins::calculate: return calculate(data, false);
    case oath::ins::calculate_all: return calculate(data, true);
    case oath::ins::set_code: {
      auto typed = find(data, oath::tag::key);
      if (!typed || typed->size() != 17 || (*typed)[0] != 0x21)
        return status(oath::sw::wrong_data);
      key_ = oath::Bytes(typed->begin() + 1, typed->end());
      return status(oath::sw::ok);
    }
  }
  return status(oath::sw::ins_not_supported);
}

oath::Answer FakeKey::calculate(oath::ByteView data, bool all) {
  auto challenge = find(data, oath::tag::challenge);
  if (!challenge || challenge->size() != 8)
    return status(oath::sw::wrong_data);
  auto name = find(data, oath::tag::name);
  oath::Bytes answer;
  bool found = false;
  for (const auto& credential : credentials) {
    if (!all && (!name || oath::view_of(credential.name) != oath::ByteView(*name)))
      continue;
    found = true;
    if (all)
      oath::put_tlv(answer, oath::tag::name, oath::view_of(credential.name));
    if (!credential.totp && all) {
      oath::put_tlv(answer, oath::tag::hotp, oath::Bytes{static_cast<uint8_t>(credential.digits)});
      continue;
    }
    if (credential.touch) {
      if (all) {
        oath::put_tlv(answer, oath::tag::touch,
                      oath::Bytes{static_cast<uint8_t>(credential.digits)});
        continue;
      }
      if (!touch())
        return status(oath::sw::security_not_satisfied);
    }
    const auto secret = *crypto::base32_decode(credential.secret_base32);
    const auto mac = crypto::hmac(crypto::Algorithm::sha1, secret, *challenge);
    const size_t offset = mac.back() & 0x0F;
    oath::Bytes value{static_cast<uint8_t>(credential.digits)};
    value.insert(value.end(), mac.begin() + offset, mac.begin() + offset + 4);
    oath::put_tlv(answer, oath::tag::truncated, value);
  }
  if (!all && !found)
    return status(oath::sw::no_such_object);
  return oath::Answer{answer, oath::sw::ok};
}

namespace {

class FakeConnection : public card::Connection {
public:
  FakeConnection(FakeReaders& readers, std::shared_ptr<FakeKey> key)
    : readers_(readers), key_(std::move(key)) {}
  oath::Result<oath::Answer> transmit(oath::ByteView apdu) override {
    if (auto failure = readers_.take_transmit_failure())
      return *failure;
    return key_->handle(apdu);
  }

private:
  FakeReaders& readers_;
  std::shared_ptr<FakeKey> key_;
};

} // namespace

oath::Result<std::vector<card::ReaderState>> FakeReaders::states() {
  std::lock_guard<std::mutex> guard{mtx_};
  ++states_calls_;
  if (!service_up_)
    return oath::Failure{oath::Fault::no_service, oath::Step::connect,
                         "SCARD_E_NO_SERVICE: Service not available."};
  std::vector<card::ReaderState> out;
  for (const auto& reader : readers_)
    out.push_back({reader.name, reader.key != nullptr, reader.events});
  return out;
}

oath::Result<std::unique_ptr<card::Connection>> FakeReaders::connect(const std::string& name) {
  std::lock_guard<std::mutex> guard{mtx_};
  ++connects_;
  if (!service_up_)
    return oath::Failure{oath::Fault::no_service, oath::Step::connect, "SCARD_E_NO_SERVICE"};
  for (auto& reader : readers_) {
    if (reader.name != name)
      continue;
    if (!reader.key)
      return oath::Failure{oath::Fault::removed, oath::Step::connect, "SCARD_E_NO_SMARTCARD"};
    if (reader.held_exclusively)
      return oath::Failure{oath::Fault::sharing_violation, oath::Step::connect,
                           "reader \"" + name + "\": SCARD_E_SHARING_VIOLATION"};
    return std::unique_ptr<card::Connection>(new FakeConnection(*this, reader.key));
  }
  return oath::Failure{oath::Fault::removed, oath::Step::connect, "SCARD_E_UNKNOWN_READER"};
}

void FakeReaders::add(const std::string& name, std::shared_ptr<FakeKey> key) {
  std::lock_guard<std::mutex> guard{mtx_};
  readers_.push_back(Reader{name, std::move(key), 0, false});
}

void FakeReaders::insert(const std::string& name, std::shared_ptr<FakeKey> key) {
  std::lock_guard<std::mutex> guard{mtx_};
  for (auto& reader : readers_)
    if (reader.name == name) {
      reader.key = std::move(key);
      ++reader.events;
    }
}

void FakeReaders::remove(const std::string& name) {
  std::lock_guard<std::mutex> guard{mtx_};
  for (auto& reader : readers_)
    if (reader.name == name) {
      reader.key.reset();
      ++reader.events;
    }
}

void FakeReaders::hold_exclusively(const std::string& name, bool held) {
  std::lock_guard<std::mutex> guard{mtx_};
  for (auto& reader : readers_)
    if (reader.name == name)
      reader.held_exclusively = held;
}

void FakeReaders::set_service(bool up) {
  std::lock_guard<std::mutex> guard{mtx_};
  service_up_ = up;
}

void FakeReaders::fail_transmits(int count, oath::Failure failure) {
  std::lock_guard<std::mutex> guard{mtx_};
  transmit_failures_ = count;
  transmit_failure_ = std::move(failure);
}

std::optional<oath::Failure> FakeReaders::take_transmit_failure() {
  std::lock_guard<std::mutex> guard{mtx_};
  if (transmit_failures_ <= 0)
    return std::nullopt;
  --transmit_failures_;
  return transmit_failure_;
}

std::vector<card::ReaderState> FakeReaders::snapshot() {
  std::lock_guard<std::mutex> guard{mtx_};
  std::vector<card::ReaderState> out;
  for (const auto& reader : readers_)
    out.push_back({reader.name, reader.key != nullptr, reader.events});
  return out;
}

int FakeReaders::states_calls() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return states_calls_;
}

int FakeReaders::connects() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return connects_;
}
