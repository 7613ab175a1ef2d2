// load_generator: offers report datagrams to a report server on
// 127.0.0.1 at a paced rate, for the load benchmark (bench/run_bench.sh).
//
//   load_generator --rate=R --frames=F --count=N --time-limit=S [options]
//
//   --rate=R             reports per second offered (frames, not datagrams)
//   --frames=F           frames (reports) per datagram, 1 to 5
//   --count=N            reports to send; rounded up to whole datagrams
//   --time-limit=S       stop after S seconds whatever is left to send
//   --port=P             UDP port on 127.0.0.1 (default 32730)
//   --batch-period-us=U  datagrams due within U microseconds leave in one
//                        sendmmsg call (default 100; at most 64 per call)
//   --spin-us=U          the last U microseconds before a batch is due are
//                        busy-waited instead of slept (default 10)
//
// The datagrams are made once, before the clock starts, the way a peer
// makes them: RecordCodec::pack of a report record, DgramFrameWriter
// framing (CRC-16, length, serial), F frames per datagram. The writer sends
// them to a capture socket of the generator's own, and the captured
// datagrams form a pool of 1024 that is sent round and round, so the paced
// loop costs only the sendmmsg calls. Report texts are "bench report
// NNNNNNN" with the report's number within the pool.
//
// Pacing runs against absolute deadlines on CLOCK_MONOTONIC: batch k is due
// at start + k * batch / datagram_rate. The generator sleeps with
// clock_nanosleep(TIMER_ABSTIME) to shortly before the deadline and spins
// the rest, so late wake-ups do not accumulate; when it falls behind it sends
// at once and says so in its report (max lag).
//
// Output: one human-readable line and one line of key=value pairs starting
// with "RESULT" for scripts. Exit status 0 after a run, 2 for bad options,
// 1 when the sockets cannot be set up.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

constexpr uint32_t kPoolDatagrams = 1024;
constexpr uint32_t kMaxFrames = 5;  // 5 x 272 bytes fit DGRAM_MAX, 6 do not
constexpr uint32_t kMaxBatch = 64;
constexpr uint32_t kFrameSize = kDgramHeaderSize + kReportRecordSize;
static_assert(kMaxFrames * kFrameSize <= DGRAM_MAX);
static_assert((kMaxFrames + 1) * kFrameSize > DGRAM_MAX);

struct Options {
    double rate = 0;
    uint32_t frames = 0;
    uint64_t count = 0;
    double time_limit = 0;
    uint16_t port = 32730;
    double batch_period_us = 100;
    double spin_us = 10;
};

int64_t now_ns() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct timespec timespec_of(int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

[[noreturn]] void usage_error(const char* what) {
    fprintf(stderr,
            "load_generator: %s\n"
            "usage: load_generator --rate=R --frames=1..5 --count=N --time-limit=S\n"
            "                      [--port=P] [--batch-period-us=U] [--spin-us=U]\n",
            what);
    exit(2);
}

double parse_number(const char* text, const char* name) {
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0) {
        fprintf(stderr, "load_generator: bad value for --%s: %s\n", name, text);
        exit(2);
    }
    return value;
}

Options parse_options(int argc, char** argv) {
    static const struct option kOptions[] = {
        {"rate", required_argument, nullptr, 'r'},
        {"frames", required_argument, nullptr, 'f'},
        {"count", required_argument, nullptr, 'n'},
        {"time-limit", required_argument, nullptr, 't'},
        {"port", required_argument, nullptr, 'p'},
        {"batch-period-us", required_argument, nullptr, 'b'},
        {"spin-us", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    for (;;) {
        const int option = getopt_long(argc, argv, "", kOptions, nullptr);
        if (option == -1) break;
        switch (option) {
            case 'r': options.rate = parse_number(optarg, "rate"); break;
            case 'f': options.frames = static_cast<uint32_t>(parse_number(optarg, "frames")); break;
            case 'n': options.count = static_cast<uint64_t>(parse_number(optarg, "count")); break;
            case 't': options.time_limit = parse_number(optarg, "time-limit"); break;
            case 'p': {
                const double port = parse_number(optarg, "port");
                if (port < 1 || port > 65535) usage_error("--port must be 1 to 65535");
                options.port = static_cast<uint16_t>(port);
                break;
            }
            case 'b': options.batch_period_us = parse_number(optarg, "batch-period-us"); break;
            case 's': options.spin_us = parse_number(optarg, "spin-us"); break;
            default: usage_error("unknown option");
        }
    }
    if (optind != argc) usage_error("unexpected argument");
    if (options.rate < 1) usage_error("--rate must be at least 1 report/s");
    if (options.frames < 1 || options.frames > kMaxFrames) usage_error("--frames must be 1 to 5");
    if (options.count < 1) usage_error("--count must be at least 1");
    if (options.time_limit <= 0 || options.time_limit > 3600)
        usage_error("--time-limit must be above 0 and at most 3600 s");
    return options;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The pool of datagrams, each `frames` report frames, made with the
// library's writer and taken back from a capture socket.
struct Pool {
    std::vector<uint8_t> bytes;  // kPoolDatagrams slots of DGRAM_MAX bytes
    uint32_t datagram_size = 0;

    const uint8_t* datagram(uint32_t index) const { return bytes.data() + size_t{index} * DGRAM_MAX; }
};

bool build_pool(uint32_t frames, Pool* pool) {
    const int capture = socket(AF_INET, SOCK_DGRAM, 0);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    if (capture < 0 || sender < 0) {
        perror("load_generator: socket");
        return false;
    }
    sockaddr_in capture_address = loopback(0);
    socklen_t length = sizeof capture_address;
    if (bind(capture, reinterpret_cast<sockaddr*>(&capture_address), sizeof capture_address) != 0 ||
        getsockname(capture, reinterpret_cast<sockaddr*>(&capture_address), &length) != 0) {
        perror("load_generator: capture socket");
        return false;
    }

    static DgramFrameWriter writer;  // 64 KiB queue: not on the stack
    writer.open(sender, 0, &capture_address);
    pool->bytes.assign(size_t{kPoolDatagrams} * DGRAM_MAX, 0);
    pool->datagram_size = frames * kFrameSize;

    uint32_t report_number = 0;
    for (uint32_t d = 0; d < kPoolDatagrams; ++d) {
        for (uint32_t f = 0; f < frames; ++f, ++report_number) {
            uint8_t record[kReportRecordSize] = {};
            char text[32];
            snprintf(text, sizeof text, "bench report %07u", report_number);
            RecordCodec::pack(record, kReportFormat, static_cast<int>(report_number % 8), text);
            if (writer.write_frame(record, sizeof record) != 1) {
                fprintf(stderr, "load_generator: the frame writer refused a frame\n");
                return false;
            }
        }
        // The writer's first send after open() only makes it active.
        for (int attempt = 0; attempt < 4 && writer.fill() > 0; ++attempt) writer.send();
        const ssize_t got = recv(capture, pool->bytes.data() + size_t{d} * DGRAM_MAX, DGRAM_MAX, 0);
        if (writer.fill() != 0 || got != static_cast<ssize_t>(pool->datagram_size)) {
            fprintf(stderr, "load_generator: datagram %u of the pool: %zd bytes, %u expected\n", d,
                    got, pool->datagram_size);
            return false;
        }
    }
    close(capture);
    close(sender);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const uint32_t frames = options.frames;
    const uint64_t datagrams = (options.count + frames - 1) / frames;
    const double datagram_rate = options.rate / frames;
    const uint32_t batch = static_cast<uint32_t>(
        std::clamp(std::round(datagram_rate * options.batch_period_us / 1e6), 1.0, double{kMaxBatch}));
    const int64_t spin_ns = static_cast<int64_t>(options.spin_us * 1000);

    Pool pool;
    if (!build_pool(frames, &pool)) return 1;

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("load_generator: socket");
        return 1;
    }
    const sockaddr_in destination = loopback(options.port);
    // Sleeps end when asked, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    mmsghdr messages[kMaxBatch];
    iovec vectors[kMaxBatch];
    memset(messages, 0, sizeof messages);
    for (uint32_t i = 0; i < kMaxBatch; ++i) {
        vectors[i].iov_len = pool.datagram_size;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&destination);
        messages[i].msg_hdr.msg_namelen = sizeof destination;
    }

    const double cpu_before = cpu_seconds();
    const int64_t start = now_ns();
    const int64_t limit = start + static_cast<int64_t>(options.time_limit * 1e9);
    uint64_t sent = 0;  // datagrams
    uint64_t send_errors = 0;
    int last_errno = 0;
    int64_t max_lag = 0;
    bool stopped_by_limit = false;

    for (uint64_t k = 0; sent + send_errors < datagrams; ++k) {
        const uint64_t first = k * batch;
        const int64_t due = start + static_cast<int64_t>(static_cast<double>(first) / datagram_rate * 1e9);
        if (due >= limit) {
            stopped_by_limit = true;
            break;
        }
        int64_t now = now_ns();
        if (due - now > spin_ns) {
            const struct timespec wake = timespec_of(due - spin_ns);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
            now = now_ns();
        }
        while (now < due) now = now_ns();
        max_lag = std::max(max_lag, now - due);

        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(batch, datagrams - first));
        for (uint32_t i = 0; i < n; ++i)
            vectors[i].iov_base = const_cast<uint8_t*>(pool.datagram((first + i) % kPoolDatagrams));
        for (uint32_t done = 0; done < n;) {
            const int result = sendmmsg(fd, messages + done, n - done, 0);
            if (result > 0) {
                done += static_cast<uint32_t>(result);
                sent += static_cast<uint64_t>(result);
            } else if (result < 0 && errno == EINTR) {
                continue;
            } else {
                last_errno = errno;
                ++send_errors;  // the datagram at `done` is given up
                ++done;
            }
        }
    }
    const int64_t end = now_ns();
    const double cpu = cpu_seconds() - cpu_before;

    // A generator on schedule has used the slot of its last batch too.
    const double scheduled = static_cast<double>(sent + send_errors) / datagram_rate;
    const double seconds = std::max((end - start) / 1e9, scheduled);
    const uint64_t reports = sent * frames;
    const double rate = reports / seconds;

    printf("sent %llu reports in %llu datagrams of %u frames to 127.0.0.1:%u in %.3f s: "
           "%.0f reports/s offered (asked %.0f), %u datagrams per sendmmsg, max lag %.3f ms, "
           "%llu send errors%s%s, generator CPU %.2f s%s\n",
           static_cast<unsigned long long>(reports), static_cast<unsigned long long>(sent), frames,
           options.port, seconds, rate, options.rate, batch, max_lag / 1e6,
           static_cast<unsigned long long>(send_errors), last_errno ? ": " : "",
           last_errno ? strerror(last_errno) : "", cpu,
           stopped_by_limit ? ", stopped by the time limit" : "");
    printf("RESULT reports=%llu datagrams=%llu frames=%u seconds=%.6f rate=%.1f asked=%.1f "
           "batch=%u max_lag_ms=%.3f send_errors=%llu cpu=%.3f limited=%d\n",
           static_cast<unsigned long long>(reports), static_cast<unsigned long long>(sent), frames,
           seconds, rate, options.rate, batch, max_lag / 1e6,
           static_cast<unsigned long long>(send_errors), cpu, stopped_by_limit ? 1 : 0);
    return 0;
}
