// ClockTime: a point in time to the microsecond, with lazily computed
// calendar breakdowns in UTC and in site time.
//
// Site time is the installation's wall clock: UTC plus a fixed nine hours,
// no daylight saving, whatever the TZ setting of the process. Log stamps and
// the daily job's time of day are in site time.
//
// A ClockTime is a plain value, made freely on the stack; it allocates
// nothing. A breakdown (the costly gmtime_r) runs only when fields or a stamp
// are asked for, and at most once per time value. One object is not to be
// shared between threads without a lock; separate objects need none.
#ifndef NETWORK_SYSTEM_CLOCK_TIME_H_
#define NETWORK_SYSTEM_CLOCK_TIME_H_

#include <cstdint>
#include <cstdio>

// Calendar fields of one point. Day and month count from 0; year is the
// full year (1970 for the epoch).
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
    // Seconds that site time lies ahead of UTC.
    static constexpr int64_t kSiteOffsetSeconds = 32400;

    // The epoch (0 s, 0 us) until now() or set().
    ClockTime() = default;

    // Takes the system's time of day. Always true.
    bool now();
    // Stores a point. Always true.
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

    // The breakdowns; computed on first use after the time changed. A point
    // that gmtime_r cannot convert gives all-zero fields.
    const CalendarFields& utc_fields();
    const CalendarFields& site_fields();

    // Write "<Y/M/D hh:mm:ss.mmm> " (month and day from 1) to `stream` with
    // one formatted write and return what it returned.
    int print_utc_stamp(FILE* stream = stderr);
    int print_site_stamp(FILE* stream = stderr);

  private:
    void time_changed() { utc_valid_ = site_valid_ = false; }

    // The seconds are kept in 64 bits, the width of the system's time_t, so
    // the site-time sum cannot overflow in 2038.
    int64_t seconds_ = 0;
    int32_t microseconds_ = 0;
    CalendarFields utc_{};
    CalendarFields site_{};
    bool utc_valid_ = false;
    bool site_valid_ = false;
};

#endif  // NETWORK_SYSTEM_CLOCK_TIME_H_
