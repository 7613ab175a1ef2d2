#include "network/system/clock_time.h"

#include <sys/time.h>
#include <time.h>

namespace {

// gmtime_r of `seconds` + `offset` into `fields`; all-zero fields when the
// point cannot be converted (a year beyond what struct tm holds).
bool break_down(int64_t seconds, int64_t offset, int32_t microseconds, CalendarFields* fields) {
    time_t when;
    struct tm parts;
    if (__builtin_add_overflow(seconds, offset, &when) || gmtime_r(&when, &parts) == nullptr) {
        *fields = CalendarFields{};
        return false;
    }
    fields->millisecond = microseconds / 1000;
    fields->second = parts.tm_sec;
    fields->minute = parts.tm_min;
    fields->hour = parts.tm_hour;
    fields->day = parts.tm_mday - 1;
    fields->weekday = parts.tm_wday;
    fields->month = parts.tm_mon;
    fields->year = parts.tm_year + 1900;
    return true;
}

int print_stamp(FILE* stream, const CalendarFields& f) {
    return fprintf(stream, "<%d/%d/%d %02d:%02d:%02d.%03d> ", f.year, f.month + 1, f.day + 1,
                   f.hour, f.minute, f.second, f.millisecond);
}

}  // namespace

bool ClockTime::now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    seconds_ = tv.tv_sec;
    microseconds_ = static_cast<int32_t>(tv.tv_usec);
    time_changed();
    return true;
}

bool ClockTime::set(int64_t seconds, int32_t microseconds) {
    seconds_ = seconds;
    microseconds_ = microseconds;
    time_changed();
    return true;
}

int ClockTime::compare(const ClockTime& other) const {
    if (seconds_ != other.seconds_)
        return seconds_ > other.seconds_ ? 1 : -1;
    if (microseconds_ != other.microseconds_)
        return microseconds_ > other.microseconds_ ? 1 : -1;
    return 0;
}

int ClockTime::difference(const ClockTime& other) {
    const int order = compare(other);
    const ClockTime& later = order >= 0 ? *this : other;
    const ClockTime& earlier = order >= 0 ? other : *this;
    int64_t seconds = later.seconds_ - earlier.seconds_;
    int32_t microseconds = later.microseconds_ - earlier.microseconds_;
    if (microseconds < 0) {
        microseconds += 1000000;
        seconds -= 1;
    }
    set(seconds, microseconds);
    return order;
}

bool ClockTime::divide(int32_t divisor) {
    const int64_t whole = seconds_ / divisor;
    const int64_t rest = (seconds_ % divisor) * 1000000 + microseconds_;
    set(whole, static_cast<int32_t>(rest / divisor));
    return true;
}

const CalendarFields& ClockTime::utc_fields() {
    if (!utc_valid_) {
        break_down(seconds_, 0, microseconds_, &utc_);
        utc_valid_ = true;  // a failed conversion is not retried until the time changes
    }
    return utc_;
}

const CalendarFields& ClockTime::site_fields() {
    if (!site_valid_) {
        break_down(seconds_, kSiteOffsetSeconds, microseconds_, &site_);
        site_valid_ = true;
    }
    return site_;
}

int ClockTime::print_utc_stamp(FILE* stream) {
    return print_stamp(stream, utc_fields());
}

int ClockTime::print_site_stamp(FILE* stream) {
    return print_stamp(stream, site_fields());
}
