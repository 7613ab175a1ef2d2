#include "network/system/clock_time.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Fields = std::array<int32_t, 8>;

// year, month, day, hour, minute, second, millisecond, weekday
Fields fields(const CalendarFields& f) {
    return {f.year, f.month, f.day, f.hour, f.minute, f.second, f.millisecond, f.weekday};
}

std::string stamp_of(ClockTime& t, bool site) {
    char text[64] = {};
    FILE* out = fmemopen(text, sizeof text, "w");
    const int written = site ? t.print_site_stamp(out) : t.print_utc_stamp(out);
    fclose(out);
    EXPECT_EQ(written, static_cast<int>(strlen(text)));
    return text;
}

TEST(ClockTime, BreakdownsAndStamps) {
    ClockTime t;
    t.set(0, 0);  // the epoch, a Thursday
    EXPECT_EQ(fields(t.utc_fields()), (Fields{1970, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_EQ(stamp_of(t, false), "<1970/1/1 00:00:00.000> ");
    EXPECT_EQ(stamp_of(t, true), "<1970/1/1 09:00:00.000> ");

    // Milliseconds are truncated microseconds; each set() is seen.
    t.set(100, 999999);
    EXPECT_EQ(stamp_of(t, false), "<1970/1/1 00:01:40.999> ");
    t.set(100, 999);
    EXPECT_EQ(t.utc_fields().millisecond, 0);
    t.now();
    EXPECT_GE(t.utc_fields().year, 2024);

    // 2026-03-31 15:00 UTC, the last day of March, is already April 1 in
    // site time, whatever the TZ of the process.
    setenv("TZ", "America/New_York", 1);
    tzset();
    t.set(1774969200, 0);
    EXPECT_EQ(fields(t.utc_fields()), (Fields{2026, 2, 30, 15, 0, 0, 0, 2}));
    EXPECT_EQ(fields(t.site_fields()), (Fields{2026, 3, 0, 0, 0, 0, 0, 3}));
    unsetenv("TZ");
    tzset();

    t.set(INT64_MAX, 0);  // beyond any year struct tm can hold
    EXPECT_EQ(fields(t.utc_fields()), Fields{});
    EXPECT_EQ(stamp_of(t, true), "<0/1/1 00:00:00.000> ");
}

TEST(ClockTime, DifferenceAndDivide) {
    // a, b, the order of a against b, then |a - b|
    const int64_t differences[][7] = {{5, 200000, 3, 700000, 1, 1, 500000},
                                      {3, 700000, 5, 200000, -1, 1, 500000},
                                      {2, 300, 2, 100, 1, 0, 200},
                                      {7, 7, 7, 7, 0, 0, 0}};
    for (const auto& d : differences) {
        ClockTime a, b;
        a.set(d[0], d[1]);
        b.set(d[2], d[3]);
        EXPECT_EQ(a.utc_fields().second, d[0]);
        EXPECT_EQ(a.difference(b), d[4]);
        EXPECT_EQ(a.seconds(), d[5]);
        EXPECT_EQ(a.microseconds(), d[6]);
        EXPECT_EQ(a.utc_fields().second, d[5]);  // the fields follow the new point
    }

    // seconds, microseconds, divisor, then the quotient
    const int64_t divisions[][5] = {{7, 500000, 2, 3, 750000}, {10, 0, 3, 3, 333333}};
    for (const auto& d : divisions) {
        ClockTime t;
        t.set(d[0], d[1]);
        EXPECT_EQ(t.utc_fields().second, d[0]);
        t.divide(d[2]);
        EXPECT_EQ(t.seconds(), d[3]);
        EXPECT_EQ(t.microseconds(), d[4]);
        EXPECT_EQ(t.utc_fields().second, d[3]);
    }
}

}  // namespace
