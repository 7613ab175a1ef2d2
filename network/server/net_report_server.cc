// The report server daemon: the ReportServer object, its two threads, and
// the entry point that runs it. docs/design.md tells the design: the
// processes and threads, the locks, start-up and teardown, the flushes and
// what can be lost.
#include "network/server/net_report_server.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "network/system/clock_time.h"
#include "network/system/net_logging.h"
#include "network/system/rwlock_guard.h"

extern char** environ;

namespace {

// The status thread waits at most this long for a datagram in one pass, so
// that it still looks at the clock for the flushes below. While report lines
// wait for the daily script, it looks for the script's end every few
// milliseconds instead.
constexpr int kIdlePollMillis = 1000;
constexpr int kHeldPollMillis = 10;

// When the status thread writes the log out: once the intake has run dry,
// but kFlushGap apart at least, so that lines trickling in cost a few writes
// a second rather than one each; and within kFlushLatest while lines wait,
// so that a report is in the file within a second even when the intake never
// runs dry.
constexpr int64_t kFlushGapMicros = 250 * 1000;
constexpr int64_t kFlushLatestMicros = 1000 * 1000;

// After an idle wait ends, the status thread lets a burst gather this long,
// so that one recvmmsg takes it: at a moderate rate a wake-up per datagram,
// not the work on it, is what costs.
constexpr struct timespec kGatherPause = {0, 1000 * 1000};

// The loss line comes at most this often.
constexpr int64_t kLossReportSeconds = 60;

// The daily job thread's pause after each run of the script.
constexpr struct timespec kDailyPause = {10, 0};

// The receive buffer asked for the server's socket, so that a burst of
// reports waits in the kernel instead of being dropped.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// The signals the main thread takes: a server thread's, less SIGPIPE. It
// blocks them from its first instruction on and takes them with
// sigtimedwait, so a signal sent at any moment waits until it is taken.
sigset_t signals_waited_for() {
    sigset_t set = server_thread_signals();
    sigdelset(&set, SIGPIPE);
    return set;
}

// Sleeps until the next whole second of the system clock.
void sleep_to_next_second(void*) {
    ClockTime now;
    now.now();
    const struct timespec rest = {0, (1000000 - now.microseconds()) * 1000L};
    nanosleep(&rest, nullptr);
}

int64_t monotonic_micros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonic_seconds() {
    return monotonic_micros() / 1000000;
}

}  // namespace

void ReportServer::LineWriter::report(uint32_t level, const char* text) {
    net_log(kReportLineFormat, static_cast<int>(level), text);
}

void ReportServer::LineKeeper::report(uint32_t level, const char* text) {
    char line[kReportLineRoom];
    format_report_line(level, text, line);
    server_.keep_line(line);
}

// Keeps `line` with the moment it was made; when no more fit, waits for
// log_lock and writes the lines kept and `line`.
void ReportServer::keep_line(const char* line) {
    // A kept line is stamped, when it is written, with the moment it was
    // made: the log tells when each report came, not when the script ended.
    ClockTime made;
    made.now();
    if (held_lines.push(made, line))
        return;
    // As many lines wait as memory is set aside for: this one waits for the
    // script, and the datagrams behind it in the socket.
    RwLockGuard guard(log_lock, RwLockGuard::kExclusive);
    write_held_lines();
    net_log_at(made, "%s", line);
}

void ReportServer::write_held_lines() {
    held_lines.drain([](const ClockTime& made, const char* line) { net_log_at(made, "%s", line); });
}

// With `wait`, waits for log_lock; without, writes only when it is free.
void ReportServer::write_held_lines_when_free(bool wait) {
    if (held_lines.empty())
        return;
    if (wait) {
        RwLockGuard guard(log_lock, RwLockGuard::kExclusive);
        return write_held_lines();
    }
    RwLockGuard guard(log_lock, RwLockGuard::kTryExclusive);
    if (!guard.busy())
        write_held_lines();
}

// Writes `line` now, or keeps it while the daily script runs.
void ReportServer::write_line(const char* line) {
    {
        // A failed lock call (not a busy lock) is reported by the guard, and
        // the line is written all the same.
        RwLockGuard guard(log_lock, RwLockGuard::kTryExclusive);
        if (!guard.busy()) {
            write_held_lines();
            net_log("%s", line);
            return;
        }
    }
    keep_line(line);
}

ReportServer::ReportServer(uint16_t port_number) {
    net_trace("started");
    port = port_number;

    struct sockaddr_in bound_address;
    memset(&bound_address, 0, sizeof bound_address);
    bound_address.sin_family = AF_INET;
    bound_address.sin_port = htons(port);
    bound_address.sin_addr.s_addr = htonl(INADDR_ANY);

    net_log("Server Name = %s", host_name());
    log_address(bound_address.sin_addr.s_addr);

    // A server without its locks cannot keep its threads apart, and the
    // constructor has no result to say so: it ends the process the way a
    // socket that cannot be bound does.
    if (!status_lock.init() || !log_lock.init())
        _exit(0);

    // Close-on-exec: a job the daily script leaves running must not keep
    // the port, or no later start could bind it.
    socket_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socket_fd == -1) {
        NET_LOG_ERRNO();
        _exit(0);
    }
    // A larger receive buffer than the system's default: FORCE passes the
    // system's ceiling (root only), the plain option is capped by it. The
    // socket stays blocking; the reader asks for MSG_DONTWAIT per call.
    if (setsockopt(socket_fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes) != 0 &&
        setsockopt(socket_fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes) != 0) {
        NET_LOG_ERRNO();
    }
    if (bind(socket_fd, reinterpret_cast<struct sockaddr*>(&bound_address), sizeof bound_address) !=
        0) {
        NET_LOG_ERRNO();
        _exit(0);
    }

    endpoint.open(socket_fd, 0, 0);  // plain frames, serials ignored
    endpoint.reset();
    set_status(STATUS_INIT);
}

ReportServer::~ReportServer() {
    if (close(socket_fd) != 0)
        NET_LOG_ERRNO();
    net_trace("terminated");
}

int ReportServer::receive_reports() {
    const uint32_t received = endpoint.receive_batch(batch);
    if (endpoint.state() == DgramEndpoint::Failed)
        return 0;
    status_thread_busy = received > 0;  // more may be waiting: no idle wait
    take_batch();
    write_held_lines_when_free(false);
    report_losses(false);
    return 1;
}

void ReportServer::take_batch() {
    if (batch.count() == 0)
        return;
    // Tried once a batch, not once a line. A failed lock call (not a busy
    // lock) is reported by the guard, and the lines go out all the same.
    RwLockGuard guard(log_lock, RwLockGuard::kTryExclusive);
    if (guard.busy()) {  // the daily job holds the log: keep the lines
        LineKeeper keeper(*this);
        intake.take(batch, keeper);
        return;
    }
    write_held_lines();
    LineWriter writer;
    intake.take(batch, writer);
}

// socket_drops := the socket's own count, when the system tells it.
void ReportServer::read_socket_drops() {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(socket_fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) == 0 &&
        length > SK_MEMINFO_DROPS * sizeof meminfo[0]) {
        socket_drops = meminfo[SK_MEMINFO_DROPS];
    }
}

// The loss line, when a count has grown: at most once a minute, and once
// more at the stop.
void ReportServer::report_losses(bool at_stop) {
    const int64_t now = monotonic_seconds();
    if (!at_stop && last_loss_report != INT64_MIN && now - last_loss_report < kLossReportSeconds)
        return;
    const uint64_t bad_frames = intake.dropped_frames();
    // The socket's count is read as it stands, not as the next datagram
    // would bring it, so drops are told even when nothing follows them. It
    // costs a system call: at most once a second, or when a line is due
    // anyway. (At the stop, stop() has read it.)
    if (!at_stop && (bad_frames != reported_bad_frames || now != drops_read_at)) {
        read_socket_drops();
        drops_read_at = now;
    }
    if (socket_drops == reported_drops && bad_frames == reported_bad_frames)
        return;
    char line[160];
    snprintf(line, sizeof line,
             "datagrams dropped for a full receive buffer: %u, "
             "frames dropped for a bad length or CRC: %llu",
             socket_drops - reported_drops,  // the count wraps at 2^32, and so does the difference
             static_cast<unsigned long long>(bad_frames - reported_bad_frames));
    write_line(line);
    reported_drops = socket_drops;
    reported_bad_frames = bad_frames;
    last_loss_report = now;
}

// At the stop: what waits in the socket, but nothing that comes after.
void ReportServer::take_waiting_reports() {
    read_socket_drops();
    // A filter that drops every datagram from now on: the queue then ends,
    // however fast peers send. What it drops came after the stop, and is no
    // more this daemon's than what comes once the socket is closed.
    static sock_filter drop_all[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    const sock_fprog filter = {1, drop_all};
    if (setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        NET_LOG_ERRNO();  // kStopBatchesMax still ends the loop
    for (uint32_t calls = 0; calls < kStopBatchesMax; ++calls) {
        uint32_t attempted = 0;
        const uint32_t received = endpoint.receive_batch(batch, &attempted);
        if (endpoint.state() == DgramEndpoint::Failed || (attempted != 0 && received == 0))
            return;
        take_batch();
    }
}

void* ReportServer::status_thread_main(void* arg) {
    ReportServer* server = *static_cast<ReportServer**>(arg);
    enter_server_thread();

    for (;;) {
        server->apply_requested_status();
        server->status_thread_busy = true;  // begin the next pass at once, unless idle below
        switch (server->get_status()) {
            case STATUS_INIT:
                server->entering_status();
                server->request_status(STATUS_RUN);
                break;
            case STATUS_RUN:
                server->entering_status();
                if (server->receive_reports() == 0)
                    server->request_status(STATUS_ERROR);
                break;
            case STATUS_ERROR:
                if (server->entering_status())
                    net_trace("+++ status ERROR");
                server->status_thread_busy = false;
                break;
            default:
                server->status_thread_busy = false;
                break;
        }
        // Before the window: write(2) is a cancellation point.
        server->flush_log(!server->status_thread_busy);
        cancellation_window(status_thread_wait, server);
    }
    return nullptr;
}

void* ReportServer::daily_job_main(void* arg) {
    ReportServer* server = *static_cast<ReportServer**>(arg);
    enter_server_thread();

    for (;;) {
        ClockTime now;
        now.now();
        const CalendarFields& site = now.site_fields();
        if (site.hour * 60 + site.minute == kDailyMinuteOfDay) {
            net_trace("NOW!!");
            {
                RwLockGuard guard(server->log_lock, RwLockGuard::kExclusive);
                // The script writes straight to the descriptor: lines still
                // in the log's buffer go out first, to keep the order.
                net_log_flush();
                server->run_daily_script();
            }
            nanosleep(&kDailyPause, nullptr);
        }

        cancellation_window(sleep_to_next_second, nullptr);
    }
    return nullptr;
}

// Runs the daily script through the shell and waits for it, as system()
// does, but in a child that starts with no signal blocked and every signal
// at its default action: system() would hand the script this thread's mask,
// with server_thread_signals() blocked, so that a pipeline in it would not
// end on a closed pipe, nor its commands on a stop. The script inherits only
// the standard streams: every other descriptor of the daemon is
// close-on-exec. Its result is not looked at.
void ReportServer::run_daily_script() {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char shell[] = "sh", dash_c[] = "-c", script[sizeof kDailyScript];
    memcpy(script, kDailyScript, sizeof script);
    char* const argv[] = {shell, dash_c, script, nullptr};
    pid_t child = -1;
    errno = posix_spawn(&child, "/bin/sh", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (errno != 0) {
        NET_LOG_ERRNO();
        return;
    }
    while (waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
    }
}

int ReportServer::start() {
    thread_arg = this;
    if (create_server_thread(&status_thread, status_thread_main, &thread_arg) != 0) {
        net_log("pthread_create: failed");
        return 0;
    }
    if (create_server_thread(&daily_thread, daily_job_main, &thread_arg) != 0) {
        net_log("pthread_create: failed");
        // The caller destroys the server next: the status thread must not
        // outlive it. It takes the cancel at the end of its current pass.
        if (pthread_cancel(status_thread) != 0)
            net_log("pthread_cancel: failed");
        if (pthread_join(status_thread, nullptr) != 0)
            net_log("pthread_join: failed");
        return 0;
    }
    return 1;
}

int ReportServer::stop() {
    // The daily job thread first: it may be running the script, which it
    // lets finish and pauses after. Meanwhile the status thread keeps taking
    // reports in, so a stop loses none that came before it.
    int result = 1;
    for (pthread_t thread : {daily_thread, status_thread}) {
        if (pthread_cancel(thread) != 0) {
            net_log("pthread_cancel: failed");
            result = 0;
        }
        if (pthread_join(thread, nullptr) != 0) {
            net_log("pthread_join: failed");
            result = 0;
        }
    }
    take_waiting_reports();
    write_held_lines_when_free(true);
    report_losses(true);  // what the last minute lost is told too
    return result;
}

namespace {

constexpr char kRunDirectory[] = "/var/run/vantor_report/";
constexpr size_t kPathSize = 256;

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where the caller
// closed them, so that no file the daemon opens takes their place (a pid file
// on 2 would get log lines; a socket there would be replaced by the log file
// at the next reopen). Then closes every other descriptor the caller left
// open: the daily script, and what it leaves running, must inherit only the
// standard streams. Runs before anything else is opened.
void settle_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
    }
    if (close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {  // a kernel before 5.9
        const long limit = sysconf(_SC_OPEN_MAX);
        for (int fd = STDERR_FILENO + 1; fd < limit; ++fd)
            close(fd);
    }
}

// The empty lines are "%s" of "": the same bytes as an empty format, which
// the compiler would question.
void print_usage(const char* program) {
    net_log("Usage: %s [options]", program);
    net_log("%s", "");
    net_log("\t-l NAME, --logdir=NAME");
    net_log("\t\tspecify logdir (default is %s)", "");
    net_log("\t-v, --verbose");
    net_log("\t\tstart with verbose mode");
    net_log("\t-h, --help");
    net_log("\t\tshow this message");
    net_log("%s", "");
}

// Parses the command line into `log_directory` (kPathSize bytes, cut to 255
// characters) and returns the last -l argument as given (null without one).
// Ends the process with the usage text and status 0 on -h, --help, an
// unknown option or -l without its argument.
const char* parse_options(int argc, char** argv, char* log_directory) {
    const char* given = nullptr;
    static const struct option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"verbose", no_argument, nullptr, 'v'},
        {"logdir", required_argument, nullptr, 'l'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        const int option = getopt_long(argc, argv, "vl:h", kOptions, nullptr);
        if (option == -1)
            return given;
        switch (option) {
            case 'v':
                net_trace("verbose");
                break;
            case 'l':
                net_trace("logdir = %s", optarg);
                snprintf(log_directory, kPathSize, "%s", optarg);
                given = optarg;
                break;
            default:
                print_usage(argv[0]);
                _exit(0);
        }
    }
}

// Makes a relative log directory absolute, under the directory the daemon
// was started in: the daemon moves to "/" when it detaches, and "-l logs"
// means the logs beside the caller, not /logs. Returns the length of the
// directory as the daemon will use it (the buffer keeps its first 255
// characters), or 0 after an errno report when the start directory cannot
// be named.
size_t anchor_log_directory(char* log_directory, const char* given) {
    if (given[0] == '/')
        return strlen(given);
    char start_directory[kPathSize];
    if (getcwd(start_directory, sizeof start_directory) == nullptr) {
        NET_LOG_ERRNO();
        return 0;
    }
    // Cut to the buffer; the length returned tells the cut.
    const int length = snprintf(log_directory, kPathSize, "%s/%s", start_directory, given);
    return length < 0 ? 0 : static_cast<size_t>(length);
}

// Forms "%s/%d.<suffix>" in `path` (256 bytes). A log directory so long that
// its file name would not fit is refused rather than cut: a cut path names a
// different file, possibly in a different directory, and the operator would
// look for the log in the wrong place.
bool form_path(char* path, const char* directory, const char* suffix) {
    const int length = snprintf(path, kPathSize, "%s/%d.%s", directory, REPORT_SERVER_PORT, suffix);
    return length >= 0 && static_cast<size_t>(length) < kPathSize;
}

// mkdir with no permission bits; an existing directory is fine.
void make_directory(const char* path) {
    if (mkdir(path, 0) != 0 && errno != EEXIST)
        NET_LOG_ERRNO();
}

// Opens the pid file and takes an exclusive lock on it, which the daemon
// holds for as long as it runs: the lock is on the open file, so it passes
// through both forks to the daemon, and it goes when the daemon's process
// ends, however it ends. A start that finds it held says which daemon runs
// and ends with status 1, before it detaches and without touching the
// running daemon's pid file or log. The file is opened without following a
// symbolic link (a link planted in the run directory would make the daemon
// write where it points) and close-on-exec. Returns the descriptor, or -1
// after an errno report when the file cannot be opened: the daemon then runs
// without a pid file.
int lock_pid_file(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd == -1) {
        NET_LOG_ERRNO();
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    if (errno != EWOULDBLOCK) {
        NET_LOG_ERRNO();
        return fd;
    }
    // The running daemon has its pid in the file before its start returns;
    // a daemon still starting writes it in a moment.
    char pid[16] = "";
    for (int tries = 0; tries < 100 && pid[0] == '\0'; ++tries) {
        const ssize_t got = pread(fd, pid, sizeof pid - 1, 0);
        pid[got > 0 ? got : 0] = '\0';
        if (pid[0] == '\0')
            usleep(10000);
    }
    fprintf(stderr, "report_server: already running as pid %s\n", pid[0] ? pid : "?");
    _exit(1);
}

// Ends a start that gives no running daemon with status 1. The pid file
// this start made goes too: it still holds its lock, so no other start owns
// it, and it names no daemon.
[[noreturn]] void end_start(const char* pid_path, int pid_fd) {
    if (pid_fd >= 0)
        unlink(pid_path);
    _exit(1);
}

// Claims the log file before anything could truncate it. Another daemon
// that writes the same file, found by the file itself (its pid file may be
// gone with a cleaned-up run directory), ends this start with status 1: its
// log is left whole, and the pid file this start made is removed again.
void claim_log_file(const char* log_path, const char* pid_path, int pid_fd) {
    if (net_log_claim(log_path) != 0)
        return;  // claimed; or it cannot be opened, which net_log_open reports
    fprintf(stderr, "report_server: already running: another report_server writes %s\n", log_path);
    end_start(pid_path, pid_fd);
}

void write_pid(int fd) {
    char pid[16];
    const int length = snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if (fd >= 0 && (ftruncate(fd, 0) != 0 || pwrite(fd, pid, length, 0) != length))
        NET_LOG_ERRNO();
}

// The process an operator, a script or systemd started waits here until the
// daemon says it is ready (its pid in the pid file, its socket bound, its
// threads running), and then ends with status 0. When the daemon ends
// first, the channel closes without a word: the start ends with status 1,
// and its pid file, which names a process that is gone, goes too. The
// daemon has said why on standard error or in its log.
[[noreturn]] void wait_until_ready(int channel, const char* pid_path, int pid_fd,
                                   const char* log_path) {
    char ready = 0;
    ssize_t got;
    while ((got = read(channel, &ready, 1)) == -1 && errno == EINTR) {
    }
    if (got == 1)
        _exit(0);
    fprintf(stderr, "report_server: the daemon ended during start-up%s%s\n",
            log_path != nullptr ? "; see " : "", log_path != nullptr ? log_path : "");
    end_start(pid_path, pid_fd);
}

// fork, chdir("/"), setsid, fork: only the grandchild, the daemon, returns
// from here, with the descriptor on which it says that it is ready. The
// first process waits for that word (wait_until_ready), so its caller sees
// the daemon ready, or a failed start, when it returns. The channel is a
// socket pair, not a pipe: the daemon writes with MSG_NOSIGNAL, so a caller
// that went away does not kill it with SIGPIPE.
int detach(const char* pid_path, int pid_fd, const char* log_path) {
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    pid_t child = fork();
    if (child == -1) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    if (child != 0) {
        close(channel[1]);
        wait_until_ready(channel[0], pid_path, pid_fd, log_path);
    }
    close(channel[0]);
    if (chdir("/") != 0) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    if (setsid() == -1) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    child = fork();
    if (child == -1) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    if (child != 0)
        _exit(0);
    return channel[1];
}

void say_ready(int channel) {
    const char ready = 'R';
    send(channel, &ready, 1, MSG_NOSIGNAL);
    close(channel);
}

}  // namespace

// The status thread's log flush, when one is due (`intake_dry`: the pass
// found the socket empty).
void ReportServer::flush_log(bool intake_dry) {
    const int64_t now = monotonic_micros();
    const int64_t since = now - last_log_flush;
    if (since >= kFlushLatestMicros || (intake_dry && since >= kFlushGapMicros)) {
        if (net_log_waiting())
            net_log_flush();
        last_log_flush = now;
    }
}

// The status thread's idle wait; `arg` is the server.
void ReportServer::status_thread_wait(void* arg) {
    ReportServer* server = static_cast<ReportServer*>(arg);
    // After a busy pass the next one begins at once: more may be waiting,
    // and the thread blocks in its wait as soon as the socket is empty.
    if (server->status_thread_busy)
        return;
    int wait = !server->held_lines.empty() ? kHeldPollMillis : kIdlePollMillis;
    if (net_log_waiting()) {  // wake up in time for the flush that is due
        const int64_t due = server->last_log_flush + kFlushGapMicros - monotonic_micros();
        wait = due <= 0 ? 0 : static_cast<int>(std::min<int64_t>(wait, due / 1000 + 1));
    }
    if (server->get_status() != STATUS_RUN) {
        poll(nullptr, 0, wait);  // nothing to watch: just idle
        return;
    }
    struct pollfd socket_readable = {server->socket_fd, POLLIN, 0};
    if (poll(&socket_readable, 1, wait) > 0)  // both cancellation points
        nanosleep(&kGatherPause, nullptr);
}

int main(int argc, char** argv) {
    settle_descriptors();
    // Files the daemon makes are not writable by its group, nor readable by
    // others, whatever the caller's umask.
    umask(027);
    const sigset_t signals = signals_waited_for();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    char log_directory[kPathSize] = "";
    char pid_path[kPathSize];
    char log_path[kPathSize];
    FILE* log_stream = nullptr;

    const char* given_directory = parse_options(argc, argv, log_directory);
    const bool logging = log_directory[0] != '\0';
    if (logging) {
        const size_t length = anchor_log_directory(log_directory, given_directory);
        if (length == 0)
            _exit(1);
        if (!form_path(log_path, log_directory, "log")) {
            net_log("log directory too long: %zu characters, at most %zu fit: %s", length,
                    kPathSize - 11, given_directory);
            _exit(1);
        }
    }

    make_directory(kRunDirectory);
    form_path(pid_path, kRunDirectory, "pid");
    const int pid_fd = lock_pid_file(pid_path);
    if (logging) {
        make_directory(log_directory);
        claim_log_file(log_path, pid_path, pid_fd);
    }

    const int ready_channel = detach(pid_path, pid_fd, logging ? log_path : nullptr);
    write_pid(pid_fd);

    net_log_timer_start();
    if (logging) {
        net_log_timer_start();  // again: the file's first ten seconds count from its opening
        log_stream = net_log_open(log_path);
    }

    ReportServer* server = new ReportServer(REPORT_SERVER_PORT);  // ends the process on failure
    if (server->start() == 0) {
        delete server;
        server = nullptr;
    } else {
        say_ready(ready_channel);
    }

    // A stop signal or a failed reader ends the loop. The line that says
    // which is written after everything the stop still writes, so that it is
    // the last line of the daemon's log.
    const char* end_line = nullptr;
    const struct timespec wait_period = {1, 0};
    while (server != nullptr && end_line == nullptr) {
        const int signal_number = sigtimedwait(&signals, nullptr, &wait_period);
        if (signal_number == SIGTERM || signal_number == SIGINT) {
            end_line = "break by signal";
        } else if (signal_number == SIGHUP && logging) {
            // The log was rotated: a file of its name again, in a directory
            // made again when a clean-up took it away.
            make_directory(log_directory);
            net_log_reopen();
        }
        if (end_line == nullptr && server->get_status() == ReportServer::STATUS_ERROR)
            end_line = "break by error";
        else
            sched_yield();
    }

    if (server != nullptr) {
        server->stop();
        net_log("%s", end_line);
        delete server;
    }
    // The log goes out before the pid file does: nothing of this daemon may
    // come after a new start has found the pid file gone.
    net_log_flush();
    if (unlink(pid_path) != 0)
        NET_LOG_ERRNO();
    net_log_close(log_stream);
    net_log_timer_stop();
    return 0;
}
