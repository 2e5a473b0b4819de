#include "core/request_log.h"

#include <cstdint>
#include <cstdio>

namespace otp_service {

namespace {

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// The proleptic Gregorian date of a day counted from 1970-01-01 (Howard
// Hinnant's civil_from_days): no gmtime, which is not thread-safe everywhere.
CivilDate civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

} // namespace

std::string utc_text(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const int64_t day_ms = 86400000;
  const int64_t days = (ms >= 0 ? ms : ms - day_ms + 1) / day_ms;
  const int64_t in_day = ms - days * day_ms;
  const auto date = civil_from_days(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(date.year), date.month, date.day,
                static_cast<long long>(in_day / 3600000),
                static_cast<long long>(in_day / 60000 % 60),
                static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
  return text;
}

void RequestLog::write(std::string_view line) {
  std::lock_guard<std::mutex> guard{mtx_};
  if (clock_)
    out_ << utc_text(clock_()) << ' ';
  out_ << line << std::endl;
}

} // namespace otp_service
