// load_generator PORT SIZE FRAMES RATE|max COUNT SECONDS <pool: sends the
// pool, datagrams of SIZE bytes with FRAMES reports each, round and round to
// 127.0.0.1:PORT, COUNT reports at RATE reports/s or as fast as it can, for
// at most SECONDS (the load benchmark's sender; bench/run_bench.py makes
// the pool). Batch k is due at start + k * batch / datagram_rate: it sleeps
// to shortly before and spins the rest, so late wake-ups do not add up;
// behind schedule it sends at once and says how late (max_lag_ms). Prints
// key=value pairs; exits 0 after a run, 2 for bad arguments, 1 without socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMaxBatch = 64;
constexpr int64_t kSpinNs = 10000;

int64_t now_ns() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

[[noreturn]] void fail(const std::string& what) {
    fprintf(
        stderr,
        "load_generator: %s\nusage: load_generator PORT SIZE FRAMES RATE|max COUNT SECONDS <pool\n",
        what.c_str());
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    // The arguments in order, with their bounds (a UDP payload over IPv4 is
    // at most 65535 bytes less the IP and UDP headers).
    const char* const names[] = {"PORT", "SIZE", "FRAMES", "RATE", "COUNT", "SECONDS"};
    const double low[] = {1, 1, 1, 1, 1, 0.001}, high[] = {65535, 65507, 64, INFINITY, 1e15, 3600};
    double value[6];
    if (argc != 7)
        fail("six arguments are needed, not " + std::to_string(argc - 1));
    for (int i = 0; i < 6; ++i) {
        char* end = nullptr;
        value[i] = i == 3 && strcmp(argv[4], "max") == 0 ? INFINITY : strtod(argv[i + 1], &end);
        if (end != nullptr &&
            (end == argv[i + 1] || *end != '\0' || !(value[i] >= low[i] && value[i] <= high[i])))
            fail(std::string("bad ") + names[i] + ": " + argv[i + 1]);
    }
    const auto port = static_cast<uint16_t>(value[0]);
    const auto size = static_cast<size_t>(value[1]);
    const auto frames = static_cast<uint32_t>(value[2]);
    const double datagram_rate = value[3] / frames;  // infinite unpaced
    const auto datagrams = static_cast<uint64_t>(std::ceil(value[4] / frames));
    const std::vector<char> pool{std::istreambuf_iterator<char>(std::cin), {}};
    if (pool.empty() || pool.size() % size != 0)
        fail("the pool on standard input is not whole datagrams of SIZE bytes");

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("load_generator: socket");
        return 1;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // sleeps end when asked, not up to 50 us later

    const auto batch = static_cast<uint32_t>(
        std::clamp(std::round(datagram_rate * 100e-6), 1.0, double{kMaxBatch}));
    mmsghdr messages[kMaxBatch] = {};
    iovec vectors[kMaxBatch];
    for (uint32_t i = 0; i < kMaxBatch; ++i) {
        vectors[i].iov_len = size;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &destination;
        messages[i].msg_hdr.msg_namelen = sizeof destination;
    }

    const clock_t cpu_before = clock();  // CPU time, user and system
    const int64_t start = now_ns();
    const int64_t limit = start + static_cast<int64_t>(value[5] * 1e9);
    uint64_t sent = 0, send_errors = 0;
    int64_t max_lag = 0;
    int last_errno = 0;
    for (uint64_t k = 0; sent + send_errors < datagrams; ++k) {
        const uint64_t first = k * batch;
        const int64_t due =
            start + static_cast<int64_t>(static_cast<double>(first) / datagram_rate * 1e9);
        int64_t now = now_ns();
        if (due >= limit || now >= limit)  // the schedule's end, or the clock's when behind it
            break;
        if (due - now > kSpinNs) {
            const struct timespec wake = {static_cast<time_t>((due - kSpinNs) / 1000000000),
                                          static_cast<long>((due - kSpinNs) % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
            now = now_ns();
        }
        while (now < due)
            now = now_ns();
        if (std::isfinite(datagram_rate))
            max_lag = std::max(max_lag, now - due);

        const auto n = static_cast<uint32_t>(std::min<uint64_t>(batch, datagrams - first));
        for (uint32_t i = 0; i < n; ++i)
            vectors[i].iov_base =
                const_cast<char*>(pool.data() + (first + i) % (pool.size() / size) * size);
        for (uint32_t done = 0; done < n;) {
            const int result = sendmmsg(fd, messages + done, n - done, 0);
            if (result > 0) {
                done += static_cast<uint32_t>(result);
                sent += static_cast<uint64_t>(result);
            } else if (result == 0 || errno != EINTR) {
                last_errno = errno;
                ++send_errors;  // the datagram at `done` is given up
                ++done;
            }
        }
    }
    const int64_t end = now_ns();
    const double cpu = static_cast<double>(clock() - cpu_before) / CLOCKS_PER_SEC;

    // A generator on schedule has used the slot of its last batch too.
    const double seconds =
        std::max((end - start) / 1e9, static_cast<double>(sent + send_errors) / datagram_rate);
    if (send_errors > 0)
        fprintf(stderr, "load_generator: %llu datagrams not sent: %s\n",
                static_cast<unsigned long long>(send_errors), strerror(last_errno));
    printf("reports=%llu datagrams=%llu seconds=%.6f rate=%.1f max_lag_ms=%.3f cpu=%.3f\n",
           static_cast<unsigned long long>(sent * frames), static_cast<unsigned long long>(sent),
           seconds, static_cast<double>(sent * frames) / seconds, max_lag / 1e6, cpu);
    return 0;
}
