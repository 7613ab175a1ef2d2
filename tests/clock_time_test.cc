#include "network/system/clock_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string stamp_of(ClockTime& t, bool site) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const int written = site ? t.print_site_stamp(out) : t.print_utc_stamp(out);
    fclose(out);
    std::string result(text, size);
    free(text);
    EXPECT_EQ(written, static_cast<int>(result.size()));
    return result;
}

TEST(ClockTime, EpochBreaksDownInUtcAndSiteTime) {
    ClockTime t;
    t.set(0, 0);
    const CalendarFields& utc = t.utc_fields();
    EXPECT_EQ(utc.millisecond, 0);
    EXPECT_EQ(utc.second, 0);
    EXPECT_EQ(utc.minute, 0);
    EXPECT_EQ(utc.hour, 0);
    EXPECT_EQ(utc.day, 0);
    EXPECT_EQ(utc.weekday, 4);  // a Thursday
    EXPECT_EQ(utc.month, 0);
    EXPECT_EQ(utc.year, 1970);
    EXPECT_EQ(t.site_fields().hour, 9);
    EXPECT_EQ(stamp_of(t, false), "<1970/1/1 00:00:00.000> ");
    EXPECT_EQ(stamp_of(t, true), "<1970/1/1 09:00:00.000> ");
}

TEST(ClockTime, SiteTimeRollsIntoTheNextMonthAtFifteenHundredUtc) {
    setenv("TZ", "America/New_York", 1);  // site time must not care
    tzset();
    ClockTime t;
    t.set(1774969200, 0);  // 2026-03-31 15:00:00 UTC, the last day of March
    EXPECT_EQ(t.utc_fields().month, 2);
    EXPECT_EQ(t.utc_fields().day, 30);
    EXPECT_EQ(t.utc_fields().hour, 15);
    const CalendarFields& site = t.site_fields();
    EXPECT_EQ(site.month, 3);
    EXPECT_EQ(site.day, 0);
    EXPECT_EQ(site.hour, 0);
    EXPECT_EQ(site.minute, 0);
    EXPECT_EQ(stamp_of(t, true), "<2026/4/1 00:00:00.000> ");
    unsetenv("TZ");
    tzset();
}

TEST(ClockTime, MillisecondsAreTruncatedMicroseconds) {
    ClockTime t;
    t.set(100, 999999);
    EXPECT_EQ(t.utc_fields().millisecond, 999);
    t.set(100, 999);
    EXPECT_EQ(t.utc_fields().millisecond, 0);
    EXPECT_EQ(stamp_of(t, true), "<1970/1/1 09:01:40.000> ");
}

TEST(ClockTime, DifferenceIsAbsoluteWithBorrowAndReturnsTheOrder) {
    ClockTime a, b;
    a.set(5, 200000);
    b.set(3, 700000);
    EXPECT_EQ(a.difference(b), 1);
    EXPECT_EQ(a.seconds(), 1);
    EXPECT_EQ(a.microseconds(), 500000);

    a.set(5, 200000);
    EXPECT_EQ(b.difference(a), -1);
    EXPECT_EQ(b.seconds(), 1);
    EXPECT_EQ(b.microseconds(), 500000);

    a.set(7, 7);
    b.set(7, 7);
    EXPECT_EQ(a.difference(b), 0);
    EXPECT_EQ(a.seconds(), 0);
    EXPECT_EQ(a.microseconds(), 0);

    a.set(7, 8);
    EXPECT_EQ(a.compare(b), 1);
    EXPECT_EQ(b.compare(a), -1);
}

TEST(ClockTime, DivideSpreadsTheRemainderIntoMicroseconds) {
    ClockTime t;
    t.set(7, 500000);
    t.divide(2);
    EXPECT_EQ(t.seconds(), 3);
    EXPECT_EQ(t.microseconds(), 750000);
    t.set(10, 0);
    t.divide(3);
    EXPECT_EQ(t.seconds(), 3);
    EXPECT_EQ(t.microseconds(), 333333);
}

TEST(ClockTime, FieldsAreRecomputedAfterTheTimeChanges) {
    ClockTime t;
    t.set(0, 0);
    EXPECT_EQ(t.site_fields().hour, 9);
    EXPECT_EQ(t.utc_fields().hour, 0);
    t.set(3600, 0);
    EXPECT_EQ(t.site_fields().hour, 10);
    EXPECT_EQ(t.utc_fields().hour, 1);
    t.difference(ClockTime());  // 3600 - 0
    EXPECT_EQ(t.utc_fields().hour, 1);
    t.divide(2);
    EXPECT_EQ(t.utc_fields().minute, 30);
    t.now();
    EXPECT_GE(t.utc_fields().year, 2024);
}

TEST(ClockTime, UnconvertiblePointGivesZeroFieldsAndYearZeroStamp) {
    ClockTime t;
    t.set(INT64_MAX, 0);  // far beyond any year struct tm can hold
    const CalendarFields& utc = t.utc_fields();
    EXPECT_EQ(utc.year, 0);
    EXPECT_EQ(utc.month, 0);
    EXPECT_EQ(utc.hour, 0);
    EXPECT_EQ(stamp_of(t, true), "<0/1/1 00:00:00.000> ");
}

}  // namespace
