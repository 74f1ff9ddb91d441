#include "platform/automation/date.h"

#include <gtest/gtest.h>

namespace vexa32 {
namespace {

TEST(Date, PartsAndSerialNumbersAgree) {
  struct {
    DateParts parts;
    DATE serial;
  } const cases[] = {
      {{1899, 12, 30, 0, 0, 0}, 0.0},     {{1899, 12, 31, 0, 0, 0}, 1.0},   {{1900, 1, 1, 0, 0, 0}, 2.0},
      {{1899, 12, 29, 6, 0, 0}, -1.25},  // before the epoch the fraction still counts forward
      {{2026, 12, 7, 12, 0, 0}, 46363.5}, {{100, 1, 1, 0, 0, 0}, kMinDate},
  };
  for (const auto& c : cases) {
    auto serial = date_from_parts(c.parts);
    ASSERT_TRUE(serial);
    EXPECT_DOUBLE_EQ(*serial, c.serial);
    auto parts = date_to_parts(c.serial);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->year, c.parts.year);
    EXPECT_EQ(parts->month, c.parts.month);
    EXPECT_EQ(parts->day, c.parts.day);
    EXPECT_EQ(parts->hour, c.parts.hour);
  }
}

TEST(Date, RejectsImpossibleDates) {
  EXPECT_FALSE(date_from_parts({2026, 2, 29, 0, 0, 0}));
  EXPECT_TRUE(date_from_parts({2024, 2, 29, 0, 0, 0}));
  EXPECT_FALSE(date_from_parts({10000, 1, 1, 0, 0, 0}));
  EXPECT_FALSE(date_from_parts({2026, 13, 1, 0, 0, 0}));
  EXPECT_FALSE(date_to_parts(1e9));
  EXPECT_FALSE(parse_date("25:00"));
  EXPECT_FALSE(parse_date("13 PM"));
  EXPECT_FALSE(parse_date("1/2"));
  EXPECT_FALSE(parse_date(""));
}

TEST(Date, TextFormsRoundTrip) {
  for (const char* text : {"12/7/2026 3:04:05 PM", "1/1/2000", "7:30:00 AM", "2/29/2024 11:59:59 PM"}) {
    auto d = parse_date(text);
    ASSERT_TRUE(d) << text;
    EXPECT_EQ(format_date(*d), text);
  }
  EXPECT_EQ(format_date(*parse_date("2026-12-07T15:04:05")), "12/7/2026 3:04:05 PM");
  EXPECT_EQ(format_date(*parse_date("7 Dec 2026 12:00 AM")), "12/7/2026");
  EXPECT_EQ(format_date(*parse_date("12/7/26")), "12/7/2026");
  EXPECT_EQ(format_date(*parse_date("12/7/45")), "12/7/1945");
}

TEST(Date, SecondsRoundWithoutLosingADay) {
  // One millisecond before midnight rounds up into the next day.
  DATE d = 46363.0 + (86400.0 - 0.001) / 86400.0;
  EXPECT_EQ(format_date(d), "12/8/2026");
}

TEST(Date, SystemTimeConverts) {
  using namespace std::chrono;
  auto tp = sys_days{year{2026} / December / 7} + hours{12};
  EXPECT_DOUBLE_EQ(date_from_time_point(tp), 46363.5);
  EXPECT_EQ(time_point_from_date(46363.5), tp);
}

}  // namespace
}  // namespace vexa32
