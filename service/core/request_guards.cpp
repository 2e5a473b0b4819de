#include "core/request_guards.h"

#include <algorithm>

namespace otp_service {

std::chrono::milliseconds PinBackoff::delay() const {
  if (!active())
    return std::chrono::milliseconds{0};
  auto wait = first_;
  for (int i = free_tries; i < wrong_ && wait < longest_; ++i)
    wait *= 2;
  return std::min(wait, longest_);
}

void TokenPeriods::update(const std::vector<OtpTokenInfo>& tokens) {
  std::lock_guard<std::mutex> guard{mtx_};
  if (tokens != tokens_)
    tokens_ = tokens;
}

std::optional<uint32_t> TokenPeriods::of(const std::string& name) const {
  std::lock_guard<std::mutex> guard{mtx_};
  for (auto& token : tokens_)
    if (token.name == name && token.period > 0)
      return token.period;
  return std::nullopt;
}

std::optional<std::string> code_time_refusal(uint64_t asked, uint64_t now,
                                             std::optional<uint32_t> period) {
  const uint64_t window = period ? std::max<uint64_t>(*period, 5) : 30;
  const uint64_t distance = asked > now ? asked - now : now - asked;
  if (distance <= window)
    return std::nullopt;
  return "a code for " + std::to_string(distance) + " s " + (asked > now ? "ahead" : "ago")
         + ": only the present is answered, within " + std::to_string(window) + " s";
}

} // namespace otp_service
