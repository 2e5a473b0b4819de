// The service's guards on the requests themselves: PIN guessing is slowed
// down, and codes are given only for the present. Plain logic, no actors.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "records.h"

namespace otp_service {

// Wrong PINs in a row, over every connection: after the third, each answer
// to a request that carries a PIN waits, `first` (1 s), then twice as long
// each time, at most `longest` (30 s). A right PIN ends it.
class PinBackoff {
public:
  static constexpr int free_tries = 3;

  explicit PinBackoff(std::chrono::milliseconds first = std::chrono::seconds{1},
                      std::chrono::milliseconds longest = std::chrono::seconds{30})
    : first_(first), longest_(longest) {}

  // How long the next answer to a PIN-carrying request waits.
  std::chrono::milliseconds delay() const;
  bool active() const { return wrong_ >= free_tries; }
  int wrong_in_a_row() const { return wrong_; }

  void wrong() { ++wrong_; }
  void right() { wrong_ = 0; }

private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds longest_;
  int wrong_ = 0;
};

// The periods of the tokens the key listed last, shared by the thread that
// answers a token list and the actor that checks code requests.
class TokenPeriods {
public:
  void update(const std::vector<OtpTokenInfo>& tokens);
  // The period of token `name`; none when it was not listed or is 0.
  std::optional<uint32_t> of(const std::string& name) const;

private:
  mutable std::mutex mtx_;
  std::vector<OtpTokenInfo> tokens_;
};

// Why a code for UNIX time `asked` is refused when the service's clock says
// `now`: more than one period (at least 5 s; 30 s for a token not listed)
// away. None when it is near enough.
std::optional<std::string> code_time_refusal(uint64_t asked, uint64_t now,
                                             std::optional<uint32_t> period);

} // namespace otp_service
