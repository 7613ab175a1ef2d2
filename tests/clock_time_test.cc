// ClockTime where the log does not show it: differences, division and a
// point gmtime_r cannot convert. (Stamps in site time, across a day and
// month boundary, are checked by the log facility's tests.)
#include "network/system/clock_time.h"

#include <gtest/gtest.h>

TEST(ClockTime, DifferenceDivideAndUnconvertiblePoints) {
    // a, b, compare(a, b), |a - b|
    const int64_t differences[][7] = {{5, 200000, 3, 700000, 1, 1, 500000},
                                      {3, 700000, 5, 200000, -1, 1, 500000},
                                      {2, 300, 2, 100, 1, 0, 200},
                                      {7, 7, 7, 7, 0, 0, 0}};
    for (const auto& d : differences) {
        ClockTime a, b;
        a.set(d[0], static_cast<int32_t>(d[1]));
        b.set(d[2], static_cast<int32_t>(d[3]));
        EXPECT_EQ(a.utc_fields().second, d[0]);
        EXPECT_EQ(a.difference(b), d[4]);
        EXPECT_EQ(a.seconds() * 1000000 + a.microseconds(), d[5] * 1000000 + d[6]);
        EXPECT_EQ(a.utc_fields().second, d[5]) << "the fields follow the new point";
    }
    ClockTime t;
    t.set(10, 500000);
    t.divide(3);
    EXPECT_EQ(t.seconds() * 1000000 + t.microseconds(), 3500000);
    t.set(INT64_MAX, 0);  // beyond any year gmtime_r can give: all fields 0
    EXPECT_EQ(t.site_fields().year + t.site_fields().month + t.site_fields().day, 0);
}
