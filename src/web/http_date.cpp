#include "web/http_date.h"

#include <cstddef>
#include <cstdio>

namespace cgiecho::web {
namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian), exact for
// every 64-bit day count a cookie can use.
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

}  // namespace

bool http_date(std::int64_t t, std::string& out) {
  constexpr std::int64_t kFirst = -11644473600;  // 1601-01-01
  constexpr std::int64_t kLast = 253402300799;   // 9999-12-31 23:59:59
  if (t < kFirst || t > kLast) return false;
  std::int64_t days = t / 86400;
  std::int64_t secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  static constexpr const char* kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto weekday = static_cast<std::size_t>(((days % 7) + 7) % 7);
  char buffer[40];
  const int n = std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT", kDays[weekday], day,
                              kMonths[month - 1], static_cast<long long>(year), static_cast<long long>(secs / 3600),
                              static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  out.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

}  // namespace cgiecho::web
