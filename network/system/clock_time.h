// ClockTime: a point in time to the microsecond, with lazily computed
// calendar breakdowns in UTC and in site time: the installation's wall clock,
// UTC plus nine hours (kSiteOffsetSeconds), no daylight saving, whatever the
// TZ of the process. Log stamps and the daily job's time of day are in site
// time. A plain value that allocates nothing; one object is not to be shared
// between threads without a lock.
#ifndef NETWORK_SYSTEM_CLOCK_TIME_H_
#define NETWORK_SYSTEM_CLOCK_TIME_H_

#include <cstdint>
#include <cstdio>

// Calendar fields of one point.
struct CalendarFields {
    int32_t millisecond;  // 0..999, microseconds / 1000 truncated
    int32_t second;       // 0..60
    int32_t minute;       // 0..59
    int32_t hour;         // 0..23
    int32_t day;          // 0..30: the first day of a month is 0
    int32_t weekday;      // 0..6, 0 is Sunday
    int32_t month;        // 0..11, January is 0
    int32_t year;         // full year
};

class ClockTime {
  public:
    static constexpr int64_t kSiteOffsetSeconds = 32400;

    // The epoch (0 s, 0 us) until now() or set().
    ClockTime() = default;

    // The system's time of day, or a given point. Always true.
    bool now();
    bool set(int64_t seconds, int32_t microseconds);

    // 1 when this point is later than `other`, -1 when earlier, 0 when equal.
    int compare(const ClockTime& other) const;
    // Replaces this point by |this - other| and returns compare(other) as it
    // was before the change.
    int difference(const ClockTime& other);
    // Divides the point by `divisor` (at least 1). Always true.
    bool divide(int32_t divisor);

    // Whole seconds, and the microseconds beside them (0..999999).
    int64_t seconds() const { return seconds_; }
    int32_t microseconds() const { return microseconds_; }

    // All-zero for a point gmtime_r cannot convert.
    const CalendarFields& utc_fields();
    const CalendarFields& site_fields();

    // Write "<Y/M/D hh:mm:ss.mmm> " (month and day from 1) to `stream` with
    // one formatted write and return what it returned.
    int print_utc_stamp(FILE* stream = stderr);
    int print_site_stamp(FILE* stream = stderr);

  private:
    void time_changed() { utc_valid_ = site_valid_ = false; }

    int64_t seconds_ = 0;  // as wide as time_t: the site-time sum outlives 2038
    int32_t microseconds_ = 0;
    CalendarFields utc_{};
    CalendarFields site_{};
    bool utc_valid_ = false;
    bool site_valid_ = false;
};

#endif  // NETWORK_SYSTEM_CLOCK_TIME_H_
