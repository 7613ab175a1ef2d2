// load_generator: offers report datagrams to a report server on
// 127.0.0.1 at a paced rate, for the load benchmark (bench/run_bench.sh).
//
//   load_generator --rate=R --count=N --time-limit=S [options]
//
//   --rate=R             reports per second offered (frames, not datagrams);
//                        "max" sends back to back, unpaced, as fast as the
//                        generator can
//   --count=N            reports to send; rounded up to whole datagrams
//   --time-limit=S       stop after S seconds whatever is left to send
//   --payload=KIND       what a datagram holds (default framed):
//                          framed  report frames, as a peer sends them
//                          text    one syslog text line, a report for a
//                                  general-purpose log server (rsyslog)
//                          raw     --size bytes of filler, no framing
//   --frames=F           frames (reports) per framed datagram, 1 to 5
//                        (default 1)
//   --size=B             bytes per text or raw datagram, at most 65507
//                        (default 272, the size of a one-frame datagram)
//   --port=P             UDP port on 127.0.0.1 (default REPORT_SERVER_PORT, 32730)
//   --sink               bind the port itself and never read it, so that
//                        nothing but the generator limits the rate: UDP
//                        sends into a full socket still succeed (the kernel
//                        drops what does not fit), which measures the
//                        generator's own ceiling
//   --batch-period-us=U  datagrams due within U microseconds leave in one
//                        sendmmsg call (default 100; at most 64 per call)
//   --spin-us=U          the last U microseconds before a batch is due are
//                        busy-waited instead of slept (default 10)
//
// The datagrams are made once, before the clock starts, so the paced loop
// costs only the sendmmsg calls. Framed ones are made the way a peer makes
// them: RecordCodec::pack of a report record, DgramFrameWriter framing
// (CRC-16, length, serial), F frames per datagram. The writer sends them to
// a capture socket of the generator's own, and the captured datagrams form a
// pool of 1024 that is sent round and round. Report texts are "bench report
// NNNNNNN" with the report's number within the pool. Text datagrams form a
// pool of 1024 too, each "<13>bench: report NNNNNNN " padded with 'x' to
// --size bytes: priority user.notice, tag "bench:", no newline, one line in
// a syslog server's file each. Raw datagrams are all the same filler: the
// report server drops those above its datagram size unread.
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
// The largest UDP payload over IPv4: 65535 less the IP and UDP headers.
constexpr uint32_t kMaxUdpPayload = 65507;
// A text datagram holds at least its header, "<13>bench: report NNNNNNN ".
constexpr uint32_t kMinTextSize = 32;

enum class Payload { kFramed, kText, kRaw };

struct Options {
    double rate = 0;  // infinity for --rate=max
    Payload payload = Payload::kFramed;
    uint32_t frames = 1;
    uint32_t size = kFrameSize;
    uint64_t count = 0;
    double time_limit = 0;
    uint16_t port = REPORT_SERVER_PORT;
    bool sink = false;
    double batch_period_us = 100;
    double spin_us = 10;
};

const char* payload_name(Payload payload) {
    switch (payload) {
        case Payload::kFramed:
            return "framed";
        case Payload::kText:
            return "text";
        case Payload::kRaw:
            return "raw";
    }
    return "?";
}

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
            "usage: load_generator --rate=R|max --count=N --time-limit=S\n"
            "                      [--payload=framed|text|raw] [--frames=1..5] [--size=B]\n"
            "                      [--port=P] [--sink] [--batch-period-us=U] [--spin-us=U]\n",
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
        {"payload", required_argument, nullptr, 'k'},
        {"size", required_argument, nullptr, 'z'},
        {"sink", no_argument, nullptr, 'S'},
        {"batch-period-us", required_argument, nullptr, 'b'},
        {"spin-us", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    for (;;) {
        const int option = getopt_long(argc, argv, "", kOptions, nullptr);
        if (option == -1)
            break;
        switch (option) {
            case 'r':
                options.rate = strcmp(optarg, "max") == 0 ? INFINITY : parse_number(optarg, "rate");
                break;
            case 'f':
                options.frames = static_cast<uint32_t>(parse_number(optarg, "frames"));
                break;
            case 'n':
                options.count = static_cast<uint64_t>(parse_number(optarg, "count"));
                break;
            case 't':
                options.time_limit = parse_number(optarg, "time-limit");
                break;
            case 'p': {
                const double port = parse_number(optarg, "port");
                if (port < 1 || port > 65535)
                    usage_error("--port must be 1 to 65535");
                options.port = static_cast<uint16_t>(port);
                break;
            }
            case 'k':
                if (strcmp(optarg, "framed") == 0) {
                    options.payload = Payload::kFramed;
                } else if (strcmp(optarg, "text") == 0) {
                    options.payload = Payload::kText;
                } else if (strcmp(optarg, "raw") == 0) {
                    options.payload = Payload::kRaw;
                } else {
                    usage_error("--payload must be framed, text or raw");
                }
                break;
            case 'z': {
                const double size = parse_number(optarg, "size");
                if (size < 1 || size > kMaxUdpPayload)
                    usage_error("--size must be 1 to 65507");
                options.size = static_cast<uint32_t>(size);
                break;
            }
            case 'S':
                options.sink = true;
                break;
            case 'b':
                options.batch_period_us = parse_number(optarg, "batch-period-us");
                break;
            case 's':
                options.spin_us = parse_number(optarg, "spin-us");
                break;
            default:
                usage_error("unknown option");
        }
    }
    if (optind != argc)
        usage_error("unexpected argument");
    if (options.rate < 1)
        usage_error("--rate must be at least 1 report/s");
    if (options.frames < 1 || options.frames > kMaxFrames)
        usage_error("--frames must be 1 to 5");
    if (options.payload != Payload::kFramed && options.frames != 1)
        usage_error("--frames is for framed datagrams; text and raw ones carry one report");
    if (options.payload == Payload::kFramed && options.size != kFrameSize)
        usage_error("--size is for text and raw datagrams; framed ones are whole frames");
    if (options.payload == Payload::kText && options.size < kMinTextSize)
        usage_error("--size of a text datagram must be at least 32");
    if (options.count < 1)
        usage_error("--count must be at least 1");
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

// The pool of datagrams sent round and round: `slots` slots of `slot_size`
// bytes, each holding one datagram of `datagram_size` bytes.
struct Pool {
    std::vector<uint8_t> bytes;
    uint32_t slots = 0;
    uint32_t slot_size = 0;
    uint32_t datagram_size = 0;

    void reserve(uint32_t slot_count, uint32_t size) {
        slots = slot_count;
        slot_size = size;
        bytes.assign(size_t{slots} * slot_size, 0);
    }
    uint8_t* slot(uint32_t index) { return bytes.data() + size_t{index} * slot_size; }
    const uint8_t* datagram(uint64_t number) const {
        return bytes.data() + size_t{number % slots} * slot_size;
    }
};

// Framed datagrams, each `frames` report frames, made with the library's
// writer and taken back from a capture socket.
bool build_framed_pool(uint32_t frames, Pool* pool) {
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
    pool->reserve(kPoolDatagrams, DGRAM_MAX);
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
        for (int attempt = 0; attempt < 4 && writer.fill() > 0; ++attempt)
            writer.send();
        const ssize_t got = recv(capture, pool->slot(d), DGRAM_MAX, 0);
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

// Syslog text lines of `size` bytes, one report each.
void build_text_pool(uint32_t size, Pool* pool) {
    pool->reserve(kPoolDatagrams, size);
    pool->datagram_size = size;
    for (uint32_t d = 0; d < kPoolDatagrams; ++d) {
        char* text = reinterpret_cast<char*>(pool->slot(d));
        memset(text, 'x', size);
        char header[kMinTextSize + 1];
        const int length = snprintf(header, sizeof header, "<13>bench: report %07u ", d);
        memcpy(text, header, static_cast<size_t>(length));  // no terminating zero
    }
}

// One datagram of `size` filler bytes, sent every time.
void build_raw_pool(uint32_t size, Pool* pool) {
    pool->reserve(1, size);
    pool->datagram_size = size;
    memset(pool->slot(0), 'r', size);
}

bool build_pool(const Options& options, Pool* pool) {
    switch (options.payload) {
        case Payload::kFramed:
            return build_framed_pool(options.frames, pool);
        case Payload::kText:
            build_text_pool(options.size, pool);
            return true;
        case Payload::kRaw:
            build_raw_pool(options.size, pool);
            return true;
    }
    return false;
}

// A socket bound to the destination that is never read: the kernel fills
// its receive buffer once and drops the rest, and the sends succeed.
int open_sink(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fprintf(stderr, "load_generator: sink socket on port %u: %s\n", port, strerror(errno));
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const uint32_t frames = options.frames;
    const uint64_t datagrams = (options.count + frames - 1) / frames;
    const double datagram_rate = options.rate / frames;  // infinite unpaced
    const bool paced = std::isfinite(datagram_rate);
    const uint32_t batch = static_cast<uint32_t>(std::clamp(
        std::round(datagram_rate * options.batch_period_us / 1e6), 1.0, double{kMaxBatch}));
    const int64_t spin_ns = static_cast<int64_t>(options.spin_us * 1000);

    Pool pool;
    if (!build_pool(options, &pool))
        return 1;
    const int sink = options.sink ? open_sink(options.port) : -1;
    if (options.sink && sink < 0)
        return 1;

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
        const int64_t due =
            start + static_cast<int64_t>(static_cast<double>(first) / datagram_rate * 1e9);
        int64_t now = now_ns();
        // The schedule's end, or the clock's for a generator behind it.
        if (due >= limit || now >= limit) {
            stopped_by_limit = true;
            break;
        }
        if (due - now > spin_ns) {
            const struct timespec wake = timespec_of(due - spin_ns);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
            now = now_ns();
        }
        while (now < due)
            now = now_ns();
        if (paced)
            max_lag = std::max(max_lag, now - due);

        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(batch, datagrams - first));
        for (uint32_t i = 0; i < n; ++i)
            vectors[i].iov_base = const_cast<uint8_t*>(pool.datagram(first + i));
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

    if (sink >= 0)
        close(sink);

    char kind[64];
    if (options.payload == Payload::kFramed)
        snprintf(kind, sizeof kind, "datagrams of %u frames", frames);
    else
        snprintf(kind, sizeof kind, "%s datagrams of %u bytes", payload_name(options.payload),
                 pool.datagram_size);
    char asked[32];
    if (paced)
        snprintf(asked, sizeof asked, "%.0f", options.rate);
    else
        snprintf(asked, sizeof asked, "max");
    printf(
        "sent %llu reports in %llu %s to 127.0.0.1:%u%s in %.3f s: "
        "%.0f reports/s offered (asked %s), %u datagrams per sendmmsg, max lag %.3f ms, "
        "%llu send errors%s%s, generator CPU %.2f s%s\n",
        static_cast<unsigned long long>(reports), static_cast<unsigned long long>(sent), kind,
        options.port, options.sink ? " (a sink nobody reads)" : "", seconds, rate, asked, batch,
        max_lag / 1e6, static_cast<unsigned long long>(send_errors), last_errno ? ": " : "",
        last_errno ? strerror(last_errno) : "", cpu,
        stopped_by_limit ? ", stopped by the time limit" : "");
    printf(
        "RESULT reports=%llu datagrams=%llu frames=%u payload=%s size=%u seconds=%.6f rate=%.1f "
        "asked=%s batch=%u max_lag_ms=%.3f send_errors=%llu cpu=%.3f limited=%d\n",
        static_cast<unsigned long long>(reports), static_cast<unsigned long long>(sent), frames,
        payload_name(options.payload), pool.datagram_size, seconds, rate, asked, batch,
        max_lag / 1e6, static_cast<unsigned long long>(send_errors), cpu, stopped_by_limit ? 1 : 0);
    return 0;
}
