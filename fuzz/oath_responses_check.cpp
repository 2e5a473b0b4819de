#include "checks.h"

#include <cctype>
#include <set>
#include <string>

#include "oath/names.h"
#include "oath/responses.h"
#include "oath/session.h"
#include "oath/tlv.h"

namespace fuzz_checks {

namespace {

using oath::ByteView;

bool is_code(const std::string& code) {
  if (code.size() < 6 || code.size() > 8)
    return false;
  for (char c : code)
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  return true;
}

std::string check_tlvs(ByteView data) {
  auto records = oath::parse_tlvs(data);
  if (!records)
    return records.failure().fault == oath::Fault::malformed ? "" : "TLV failure not malformed";
  oath::Bytes again;
  for (const auto& record : *records) {
    if (record.value.data() < data.data() || record.value.end() > data.end())
      return "TLV value outside the input";
    oath::put_tlv(again, record.tag, record.value);
  }
  auto reparsed = oath::parse_tlvs(again);
  if (!reparsed || reparsed->size() != records->size())
    return "re-encoded TLVs do not parse the same";
  for (size_t i = 0; i < records->size(); ++i)
    if ((*reparsed)[i].tag != (*records)[i].tag || (*reparsed)[i].value != (*records)[i].value)
      return "re-encoded TLV " + std::to_string(i) + " differs";
  return "";
}

std::string check_list(const std::vector<oath::Credential>& credentials) {
  std::set<std::string> names;
  for (const auto& credential : credentials) {
    if (credential.name.empty() || credential.name.size() > oath::max_name_size)
      return "credential name of " + std::to_string(credential.name.size()) + " bytes";
    if (!names.insert(credential.name).second)
      return "credential name twice";
  }
  const auto tokens = oath::listed_tokens(credentials);
  std::set<std::string> shown;
  for (const auto& token : tokens) {
    if (!shown.insert(token.shown).second)
      return "two tokens shown as \"" + token.shown + "\"";
    if (token.period == 0)
      return "a token with period 0";
    if (names.count(token.credential) == 0)
      return "a token of no credential";
    const auto* found = oath::find_token(tokens, token.shown);
    if (found == nullptr || found->credential != token.credential)
      return "find_token misses \"" + token.shown + "\"";
  }
  return "";
}

// Answers the session's commands from the input: each answer is a length
// byte, then that many bytes (data and status word).
class InputTransport : public oath::Transport {
public:
  explicit InputTransport(ByteView input) : input_(input) {}
  oath::Result<oath::Answer> transmit(ByteView) override {
    if (++calls_ > 4 * oath::max_chained_rounds)
      fault_ = "more commands than chaining allows";
    if (pos_ >= input_.size())
      return oath::Failure{oath::Fault::removed, oath::Step::none, "input ended"};
    const size_t size = input_[pos_++];
    const ByteView answer = input_.sub(pos_, size);
    pos_ += answer.size();
    if (answer.size() < 2)
      return oath::Answer{answer.copy(), 0x6F00};
    oath::Answer out;
    out.data = answer.sub(0, answer.size() - 2).copy();
    out.sw = static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer[answer.size() - 1]);
    return out;
  }
  std::string fault_;

private:
  ByteView input_;
  size_t pos_ = 0;
  size_t calls_ = 0;
};

std::string check_session(ByteView input) {
  InputTransport transport(input);
  oath::Session session(transport, [](size_t size) { return oath::Bytes(size, 0x5A); });
  auto info = session.select();
  if (info) {
    if (info->salt.empty() || info->salt.size() > 64)
      return "selected a salt of " + std::to_string(info->salt.size()) + " bytes";
    if (info->has_password()) {
      const auto key = oath::derive_key("1234", info->salt);
      if (auto validated = session.validate(key); validated && session.selected()->challenge)
        return "validated but the challenge is still there";
    }
  }
  if (auto list = session.list()) {
    if (auto failure = check_list(*list); !failure.empty())
      return failure;
  }
  const oath::Bytes challenge(8, 0x01);
  if (auto all = session.calculate_all(challenge))
    for (const auto& entry : *all)
      if (entry.kind == oath::CalculatedEntry::Kind::code && !is_code(entry.code))
        return "CALCULATE ALL code \"" + entry.code + "\"";
  if (auto code = session.calculate("name", challenge); code && !is_code(*code))
    return "CALCULATE code \"" + *code + "\"";
  return transport.fault_;
}

} // namespace

std::string oath_responses(const uint8_t* data, size_t size) {
  if (size == 0)
    return "";
  const ByteView input = ByteView(data, size).sub(1);
  switch (data[0] % 7) {
    case 0: return check_tlvs(input);
    case 1: {
      auto info = oath::parse_select(input);
      if (info && (info->salt.empty() || (info->challenge && info->challenge->empty())))
        return "SELECT with an empty salt or challenge";
      return "";
    }
    case 2: {
      auto list = oath::parse_list(input);
      return list ? check_list(*list) : "";
    }
    case 3: {
      auto code = oath::parse_calculate(input);
      return code && !is_code(*code) ? "code \"" + *code + "\"" : "";
    }
    case 4: {
      auto all = oath::parse_calculate_all(input);
      if (all)
        for (const auto& entry : *all)
          if (entry.name.empty()
              || (entry.kind == oath::CalculatedEntry::Kind::code && !is_code(entry.code)))
            return "CALCULATE ALL entry \"" + entry.name + "\"";
      return "";
    }
    case 5: {
      auto answer = oath::parse_validate(input);
      return answer || answer.failure().fault == oath::Fault::bad_answer
                 || answer.failure().fault == oath::Fault::malformed
               ? ""
               : "VALIDATE failure of another kind";
    }
    default: return check_session(input);
  }
}

} // namespace fuzz_checks
