#include "oath/responses.h"

#include <set>

#include "oath/apdu.h"
#include "oath/tlv.h"

namespace oath {

namespace {

Failure malformed(std::string what) { return Failure{Fault::malformed, Step::none, std::move(what)}; }

std::string tag_text(uint8_t tag_byte) { return hex(ByteView{&tag_byte, 1}); }

} // namespace

Result<SelectInfo> parse_select(ByteView data) {
  auto records = parse_tlvs(data);
  if (!records)
    return records.failure();
  SelectInfo info;
  bool have_version = false;
  bool have_salt = false;
  for (const auto& record : *records) {
    switch (record.tag) {
      case tag::version:
        if (record.value.size() != 3)
          return malformed("version of " + std::to_string(record.value.size()) + " bytes");
        for (size_t i = 0; i < 3; ++i)
          info.version[i] = record.value[i];
        have_version = true;
        break;
      case tag::name:
        if (record.value.empty() || record.value.size() > 64)
          return malformed("salt of " + std::to_string(record.value.size()) + " bytes");
        info.salt = record.value.copy();
        have_salt = true;
        break;
      case tag::challenge:
        if (record.value.empty() || record.value.size() > 64)
          return malformed("challenge of " + std::to_string(record.value.size()) + " bytes");
        info.challenge = record.value.copy();
        break;
      case tag::algorithm:
        if (record.value.size() != 1)
          return malformed("algorithm of " + std::to_string(record.value.size()) + " bytes");
        info.algorithm = record.value[0];
        break;
      default:
        // Newer keys add records; none of them matters here.
        break;
    }
  }
  if (!have_version)
    return malformed("SELECT answer without a version");
  if (!have_salt)
    return malformed("SELECT answer without a salt");
  return info;
}

Result<std::vector<Credential>> parse_list(ByteView data) {
  auto records = parse_tlvs(data);
  if (!records)
    return records.failure();
  std::vector<Credential> credentials;
  std::set<std::string> names;
  for (const auto& record : *records) {
    if (record.tag != tag::name_list)
      return malformed("LIST entry with tag " + tag_text(record.tag));
    if (record.value.size() < 2)
      return malformed("LIST entry of " + std::to_string(record.value.size()) + " bytes");
    if (record.value.size() - 1 > max_name_size)
      return malformed("LIST entry with a name of " + std::to_string(record.value.size() - 1)
                       + " bytes");
    Credential credential;
    credential.type = record.value[0] & 0xF0;
    credential.algorithm = record.value[0] & 0x0F;
    credential.name = record.value.sub(1).text();
    if (!names.insert(credential.name).second)
      return malformed("LIST names one credential twice");
    credentials.push_back(std::move(credential));
  }
  return credentials;
}

Result<std::string> code_of_truncated(ByteView value) {
  if (value.size() != 5)
    return malformed("truncated answer of " + std::to_string(value.size()) + " bytes");
  const int digits = value[0];
  if (digits < 6 || digits > 8)
    return malformed("code of " + std::to_string(digits) + " digits");
  uint32_t number = (uint32_t{value[1]} << 24) | (uint32_t{value[2]} << 16)
                    | (uint32_t{value[3]} << 8) | uint32_t{value[4]};
  number &= 0x7FFFFFFF;
  uint32_t modulus = 1;
  for (int i = 0; i < digits; ++i)
    modulus *= 10;
  std::string code = std::to_string(number % modulus);
  if (code.size() < static_cast<size_t>(digits))
    code.insert(0, static_cast<size_t>(digits) - code.size(), '0');
  return code;
}

Result<std::string> parse_calculate(ByteView data) {
  auto records = parse_tlvs(data);
  if (!records)
    return records.failure();
  if (records->size() != 1 || (*records)[0].tag != tag::truncated)
    return malformed("CALCULATE answer is not one truncated code");
  return code_of_truncated((*records)[0].value);
}

Result<std::vector<CalculatedEntry>> parse_calculate_all(ByteView data) {
  auto records = parse_tlvs(data);
  if (!records)
    return records.failure();
  if (records->size() % 2 != 0)
    return malformed("CALCULATE ALL answer with a name and no code");
  std::vector<CalculatedEntry> entries;
  for (size_t i = 0; i < records->size(); i += 2) {
    const auto& name = (*records)[i];
    const auto& answer = (*records)[i + 1];
    if (name.tag != tag::name)
      return malformed("CALCULATE ALL entry starts with tag " + tag_text(name.tag));
    if (name.value.empty() || name.value.size() > max_name_size)
      return malformed("CALCULATE ALL name of " + std::to_string(name.value.size()) + " bytes");
    CalculatedEntry entry;
    entry.name = name.value.text();
    switch (answer.tag) {
      case tag::truncated: {
        auto code = code_of_truncated(answer.value);
        if (!code)
          return code.failure();
        entry.kind = CalculatedEntry::Kind::code;
        entry.code = std::move(*code);
        break;
      }
      case tag::hotp: entry.kind = CalculatedEntry::Kind::hotp; break;
      case tag::touch: entry.kind = CalculatedEntry::Kind::touch; break;
      default: return malformed("CALCULATE ALL answer with tag " + tag_text(answer.tag));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

Result<Bytes> parse_validate(ByteView data) {
  auto records = parse_tlvs(data);
  if (!records)
    return records.failure();
  for (const auto& record : *records)
    if (record.tag == tag::response)
      return record.value.copy();
  return Failure{Fault::bad_answer, Step::validate, "VALIDATE answer without a response"};
}

} // namespace oath
