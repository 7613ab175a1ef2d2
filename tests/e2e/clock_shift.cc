// A wall clock set ahead or back, for the end-to-end test of the daily job
// in the sanitizer builds; preloaded into the daemon with LD_PRELOAD:
//
//   CLOCK_SHIFT_SECONDS=N   the wall clock reads N seconds later (or earlier)
//
// The plain build uses libfaketime. Its Debian 12 release (0.9.10)
// deadlocks in its own start-up once a sanitizer runtime reads the clock
// before libfaketime has initialised itself, and the process never reaches
// main. This module has nothing to initialise: each call reads the variable
// and the kernel's clock, and calls nothing that allocates or locks, so it
// is safe from the first instruction, before any runtime is ready.
//
// Only the wall clock moves. The monotonic clocks and every sleep keep the
// real time, as under libfaketime's "@" start times, so the daemon's one-
// second passes and the script's sleeps last what they say. The daily
// script inherits the variable and the preload, so it reads the same time.
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long shift_seconds() {
    const char* shift = getenv("CLOCK_SHIFT_SECONDS");
    return shift == nullptr ? 0 : strtol(shift, nullptr, 10);
}

bool is_wall_clock(clockid_t clock) {
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t clock, struct timespec* now) {
    const long result = syscall(SYS_clock_gettime, clock, now);
    if (result == 0 && is_wall_clock(clock))
        now->tv_sec += shift_seconds();
    return static_cast<int>(result);
}

int timespec_get(struct timespec* now, int base) {
    return base == TIME_UTC && clock_gettime(CLOCK_REALTIME, now) == 0 ? base : 0;
}

int gettimeofday(struct timeval* now, void*) {
    struct timespec wall;
    if (clock_gettime(CLOCK_REALTIME, &wall) != 0)
        return -1;
    *now = {wall.tv_sec, wall.tv_nsec / 1000};  // glibc declares `now` never null
    return 0;
}

time_t time(time_t* out) {
    struct timespec wall;
    if (clock_gettime(CLOCK_REALTIME, &wall) != 0)
        return -1;
    if (out != nullptr)
        *out = wall.tv_sec;
    return wall.tv_sec;
}

}  // extern "C"
