#pragma once
// DATE: days since 30 December 1899 as a double; the fraction is the time of day, and for days
// before the epoch the fraction still counts forward from midnight (-1.25 is 29 Dec 1899 06:00).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"

namespace vexa32 {

struct DateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0;
};

// Smallest and largest DATE (1 Jan 100 and 31 Dec 9999 23:59:59).
inline constexpr double kMinDate = -657434.0;
inline constexpr double kMaxDate = 2958465.999988426;

// Parts to DATE; nullopt when a part is out of its range (month 13, 31 April, year 10000, ...).
std::optional<DATE> date_from_parts(const DateParts& parts);
// DATE to parts, rounded to the second; nullopt outside the DATE range or for NaN.
std::optional<DateParts> date_to_parts(DATE date);

// The en-US text form: "12/7/2026 3:04:05 PM"; the date alone at midnight; the time alone on
// 30 Dec 1899 (so 0 is "12:00:00 AM").
std::string format_date(DATE date);
// Reads the en-US forms: "M/D/YYYY", "YYYY-MM-DD", month names ("December 7, 2026", "7 Dec 2026"),
// each with an optional time "H:MM[:SS] [AM|PM]" (or "T" before it), or a time alone.
std::optional<DATE> parse_date(std::string_view text);

DATE date_from_time_point(std::chrono::system_clock::time_point tp);
std::chrono::system_clock::time_point time_point_from_date(DATE date);

}  // namespace vexa32
