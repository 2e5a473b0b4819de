#include "oath/names.h"

#include <map>

namespace oath {

PeriodPrefix period_prefix(std::string_view name) {
  uint64_t value = 0;
  size_t pos = 0;
  while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
    value = value * 10 + static_cast<uint64_t>(name[pos] - '0');
    if (value > UINT32_MAX)
      return {};
    ++pos;
  }
  if (pos == 0 || pos + 1 >= name.size() || name[pos] != '/' || value == 0)
    return {};
  return {static_cast<uint32_t>(value), pos + 1};
}

std::vector<ListedToken> listed_tokens(const std::vector<Credential>& credentials) {
  std::vector<ListedToken> tokens;
  std::vector<bool> stripped;
  for (const auto& credential : credentials) {
    if (!credential.is_totp())
      continue;
    const auto prefix = period_prefix(credential.name);
    tokens.push_back({credential.name.substr(prefix.length), credential.name, prefix.period});
    stripped.push_back(prefix.length > 0);
  }
  // A credential that keeps its whole name can clash with another stripped
  // one in turn; whole names are unique, so this ends.
  for (bool changed = true; changed;) {
    changed = false;
    std::map<std::string, int> uses;
    for (const auto& token : tokens)
      ++uses[token.shown];
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (stripped[i] && uses[tokens[i].shown] > 1) {
        tokens[i].shown = tokens[i].credential;
        stripped[i] = false;
        changed = true;
      }
    }
  }
  return tokens;
}

const ListedToken* find_token(const std::vector<ListedToken>& tokens, std::string_view shown) {
  for (const auto& token : tokens)
    if (token.shown == shown)
      return &token;
  return nullptr;
}

} // namespace oath
