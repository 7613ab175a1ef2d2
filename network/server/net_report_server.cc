// The report server daemon: the ReportServer object, its two threads, and
// the entry point that runs it.
//
// Design. The main thread builds the server, starts its two threads and then
// only waits for SIGTERM in one-second waits, reading the server status
// between two waits. The status thread and the daily job thread each run a
// loop of passes: apply the status (status thread) or read the clock (daily
// job thread), do the pass's work, then a short cancellation window, the
// only place where ReportServer::stop() can end them. Outside that window
// cancellation is disabled, so a thread is never cancelled inside a report
// line, the daily script or while it holds a lock; in the window it holds
// none. A thread with nothing to do waits inside its window rather than
// spinning: the status thread polls its socket (at most one second, so the
// log is still flushed every ten seconds), the daily job thread sleeps to the
// next second boundary. Both block SIGTERM and SIGPIPE, so SIGTERM always
// reaches the main thread, which takes it in its wait.
#include "network/server/net_report_server.h"

#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "network/system/clock_time.h"
#include "network/system/net_logging.h"
#include "network/system/report_record.h"
#include "network/system/rwlock_guard.h"

// --- entry point ---------------------------------------------------------
//
// main() parses the command line, detaches (fork, setsid, fork), writes the
// pid file, opens the log file when given a log directory, installs a
// one-shot SIGTERM handler, builds and starts the server, and then waits for
// SIGTERM in one-second waits, reading the server's status between two
// waits. On SIGTERM ("break by signal") or a failed server ("break by
// error") it stops and destroys the server, removes the pid file, closes the
// log and returns 0.

namespace {

// The status thread waits at most this long for a datagram in one pass: the
// log is flushed in the pass after ten seconds have passed, so lines reach
// the file within about eleven seconds even when nothing else happens.
constexpr int kIdlePollMillis = 1000;

// The daily job thread's pause after each run of the script.
constexpr struct timespec kDailyPause = {10, 0};

// Threads of the server: system scope, SCHED_OTHER, 512 KiB stack, joinable.
constexpr size_t kThreadStackSize = 524288;

// The receive buffer asked for the server's socket, so that a burst of
// reports, or the reports that arrive while the daily script holds the log,
// wait in the kernel instead of being dropped.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

void do_nothing(void*) {}

// The signals a server thread blocks: SIGTERM belongs to the main thread,
// and a SIGPIPE aimed at a server thread stays pending instead of ending the
// process.
sigset_t server_thread_blocked_signals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGPIPE);
    return blocked;
}

// Disables cancellation and blocks SIGTERM and SIGPIPE for the calling
// server thread.
void enter_server_thread() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    const sigset_t blocked = server_thread_blocked_signals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

// Sleeps until the next whole second of the system clock.
void sleep_to_next_second() {
    ClockTime now;
    now.now();
    const struct timespec rest = {0, (1000000 - now.microseconds()) * 1000L};
    nanosleep(&rest, nullptr);
}

}  // namespace

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

    pthread_rwlockattr_t lock_kind;
    pthread_rwlockattr_init(&lock_kind);
    pthread_rwlockattr_setkind_np(&lock_kind, PTHREAD_RWLOCK_PREFER_WRITER_NP);
    for (pthread_rwlock_t& lock : locks) {
        const int result = pthread_rwlock_init(&lock, &lock_kind);
        if (result != 0) {
            // A server without its locks cannot keep its threads apart, and
            // the constructor has no result to say so: end the process the
            // way a socket that cannot be bound does.
            errno = result;
            NET_LOG_ERRNO();
            _exit(0);
        }
    }
    pthread_rwlockattr_destroy(&lock_kind);

    socket_fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
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
    if (bind(socket_fd, reinterpret_cast<struct sockaddr*>(&bound_address),
             sizeof bound_address) != 0) {
        NET_LOG_ERRNO();
        _exit(0);
    }

    endpoint.open(socket_fd, 0, 0);  // plain frames, serials ignored
    endpoint.reset();
    set_status(STATUS_INIT);
}

ReportServer::~ReportServer() {
    if (close(socket_fd) != 0) NET_LOG_ERRNO();
    for (pthread_rwlock_t& lock : locks) {
        if (pthread_rwlock_destroy(&lock) != 0) net_log("pthread_mutex_destroy: failed");
    }
    net_trace("terminated");
}

int ReportServer::get_status() {
    RW_LOCK_SHARED(guard, &status_lock);
    return status;
}

void ReportServer::set_status(int status_value) {
    RW_LOCK_EXCLUSIVE(guard, &status_lock);
    previous_status = status;
    status = status_value;
    requested_status = status_value;
    status_changed = true;
}

void ReportServer::request_status(int status_value) {
    RW_LOCK_EXCLUSIVE(guard, &status_lock);
    requested_status = status_value;
    status_changed = true;
}

void ReportServer::apply_requested_status() {
    RW_LOCK_EXCLUSIVE(guard, &status_lock);
    if (status_changed) {
        previous_status = status;
        status = requested_status;
    }
}

bool ReportServer::is_status_changed() {
    RW_LOCK_SHARED(guard, &status_lock);
    return status_changed;
}

void ReportServer::clear_status_changed() {
    RW_LOCK_EXCLUSIVE(guard, &status_lock);
    status_changed = false;
}

int ReportServer::receive_reports() {
    intake_read_datagram = endpoint.receive() > 0;
    if (endpoint.state() == DgramEndpoint::Failed) return 0;

    uint8_t payload[DGRAM_MAX];
    uint32_t payload_length = 0;
    while (endpoint.next_frame(payload, &payload_length) == 1) {
        // A short frame must not show bytes of an earlier, longer one: the
        // record is read at fixed offsets whatever the frame's length.
        memset(payload + payload_length, 0, sizeof payload - payload_length);

        uint32_t record_type = 0;
        RecordCodec::unpack(payload, kReportHeaderFormat, &record_type);
        if (record_type != REPORT_RECORD_TYPE) continue;

        uint32_t level = 0;
        char text[kReportTextRoom];
        RecordCodec::unpack(payload, kReportFormat, &level, text);
        RW_LOCK_EXCLUSIVE(guard, &log_lock);
        net_log("LEVEL %d: (%s)", static_cast<int>(level), text);
    }
    return 1;
}

void* ReportServer::status_thread_main(void* arg) {
    ReportServer* server = *static_cast<ReportServer**>(arg);
    enter_server_thread();
    struct pollfd socket_readable = {server->socket_fd, POLLIN, 0};

    for (;;) {
        server->apply_requested_status();
        const int status_now = server->get_status();
        bool busy = false;  // the pass did work: begin the next one at once
        switch (status_now) {
            case STATUS_INIT:
                if (server->is_status_changed()) server->clear_status_changed();
                server->request_status(STATUS_RUN);
                busy = true;
                break;
            case STATUS_RUN:
                if (server->is_status_changed()) server->clear_status_changed();
                if (server->receive_reports() == 0) {
                    server->request_status(STATUS_ERROR);
                    busy = true;
                } else {
                    busy = server->intake_read_datagram;
                }
                break;
            case STATUS_ERROR:
                if (server->is_status_changed()) {
                    server->clear_status_changed();
                    net_trace("+++ status ERROR");
                }
                break;
            default:
                break;
        }

        // Cancellation window: no lock is held here. The flush comes before
        // cancellation is enabled: write(2) is a cancellation point, and a
        // cancel inside fflush would leave the stream half written.
        pthread_cleanup_push(do_nothing, arg);
        net_log_flush_due();
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        pthread_testcancel();
        // After a busy pass the next one begins at once: more may be waiting,
        // and the thread blocks in its wait as soon as the socket is empty
        // (a yield here only cost a system call per datagram).
        if (!busy && status_now == STATUS_RUN) {
            poll(&socket_readable, 1, kIdlePollMillis);  // a cancellation point
        } else if (!busy) {
            poll(nullptr, 0, kIdlePollMillis);  // nothing to watch: just idle
        }
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        pthread_cleanup_pop(0);
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
                // The script writes to the daemon's standard error, which is
                // the log: holding log_lock keeps every report line out of
                // its output. Reports wait in the socket meanwhile.
                RW_LOCK_EXCLUSIVE(guard, &server->log_lock);
                // The script writes straight to the descriptor: lines still
                // in the stream's buffer go out first, to keep the order.
                net_log_flush();
                if (system(kDailyScript) == -1) NET_LOG_ERRNO();
            }
            nanosleep(&kDailyPause, nullptr);
        }

        // Cancellation window: no lock is held here (the flush comes first,
        // as in the status thread).
        pthread_cleanup_push(do_nothing, arg);
        net_log_flush_due();
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        pthread_testcancel();
        sleep_to_next_second();  // a cancellation point
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        pthread_cleanup_pop(0);
    }
    return nullptr;
}

int ReportServer::start() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    pthread_attr_setstacksize(&attributes, kThreadStackSize);
    // The threads block SIGTERM and SIGPIPE first thing; starting them with
    // both blocked already closes the moment in which a SIGTERM could be
    // handed to a thread that does not block it yet.
    const sigset_t blocked = server_thread_blocked_signals();
    pthread_attr_setsigmask_np(&attributes, &blocked);
    thread_arg = this;

    int result = 1;
    if (pthread_create(&status_thread, &attributes, status_thread_main, &thread_arg) != 0) {
        net_log("pthread_create: failed");
        result = 0;
    } else if (pthread_create(&daily_thread, &attributes, daily_job_main, &thread_arg) != 0) {
        net_log("pthread_create: failed");
        // The caller destroys the server next: the status thread must not
        // outlive it. It takes the cancel at the end of its current pass.
        if (pthread_cancel(status_thread) != 0) net_log("pthread_cancel: failed");
        if (pthread_join(status_thread, nullptr) != 0) net_log("pthread_join: failed");
        result = 0;
    }
    pthread_attr_destroy(&attributes);
    return result;
}

int ReportServer::stop() {
    int result = 1;
    for (pthread_t thread : {status_thread, daily_thread}) {
        if (pthread_cancel(thread) != 0) {
            net_log("pthread_cancel: failed");
            result = 0;
        }
        if (pthread_join(thread, nullptr) != 0) {
            net_log("pthread_join: failed");
            result = 0;
        }
    }
    return result;
}

namespace {

constexpr char kRunDirectory[] = "/var/run/vantor_report/";
constexpr size_t kPathSize = 256;

void print_usage(const char* program) {
    net_log("Usage: %s [options]", program);
    net_log("");
    net_log("\t-l NAME, --logdir=NAME");
    net_log("\t\tspecify logdir (default is %s)", "");
    net_log("\t-v, --verbose");
    net_log("\t\tstart with verbose mode");
    net_log("\t-h, --help");
    net_log("\t\tshow this message");
    net_log("");
}

void on_sigterm(int) {
    net_trace("caught sigterm");
}

// Parses the command line into `log_directory` (256 bytes). Ends the process
// with the usage text and status 0 on -h, --help, an unknown option or -l
// without its argument.
void parse_options(int argc, char** argv, char* log_directory) {
    static const struct option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"verbose", no_argument, nullptr, 'v'},
        {"logdir", required_argument, nullptr, 'l'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        const int option = getopt_long(argc, argv, "vl:h", kOptions, nullptr);
        if (option == -1)
            return;
        switch (option) {
            case 'v':
                net_trace("verbose");
                break;
            case 'l':
                net_trace("logdir = %s", optarg);
                snprintf(log_directory, kPathSize, "%s", optarg);
                break;
            default:
                print_usage(argv[0]);
                _exit(0);
        }
    }
}

// Forms "%s/%d.<suffix>" in `path` (256 bytes). A log directory so long that
// its file name would not fit is refused rather than cut: a cut path names a
// different file, possibly in a different directory, and the operator would
// look for the log in the wrong place.
bool form_path(char* path, const char* directory, const char* suffix) {
    const int length = snprintf(path, kPathSize, "%s/%d.%s", directory, REPORT_SERVER_PORT, suffix);
    return length >= 0 && static_cast<size_t>(length) < kPathSize;
}

// fork, chdir("/"), setsid, fork: the caller gets status 0 as soon as the
// first fork succeeded; only the grandchild returns from here.
void detach() {
    pid_t child = fork();
    if (child == -1) {
        NET_LOG_ERRNO();
        _exit(1);
    }
    if (child != 0)
        _exit(0);
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
}

// mkdir with no permission bits; an existing directory is fine.
void make_directory(const char* path) {
    if (mkdir(path, 0) != 0 && errno != EEXIST)
        NET_LOG_ERRNO();
}

void write_pid_file(const char* path) {
    FILE* file = fopen(path, "w");
    if (file == nullptr) {
        NET_LOG_ERRNO();
        return;
    }
    fprintf(file, "%d", static_cast<int>(getpid()));
    fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    char log_directory[kPathSize] = "";
    char pid_path[kPathSize];
    char log_path[kPathSize];
    FILE* log_stream = nullptr;

    parse_options(argc, argv, log_directory);
    if (log_directory[0] != '\0' && !form_path(log_path, log_directory, "log")) {
        net_log("log directory too long: %zu characters, at most %zu fit: %s",
                strlen(log_directory), kPathSize - 11, log_directory);
        _exit(1);
    }

    detach();

    make_directory(kRunDirectory);
    form_path(pid_path, kRunDirectory, "pid");
    write_pid_file(pid_path);

    net_log_timer_start();
    if (log_directory[0] != '\0') {
        make_directory(log_directory);
        net_log_timer_start();
        log_stream = net_log_open(log_path);
    }

    sigset_t sigterm_only;
    sigemptyset(&sigterm_only);
    sigaddset(&sigterm_only, SIGTERM);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_sigterm;
    action.sa_mask = sigterm_only;
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGTERM, &action, nullptr);

    ReportServer* server = new ReportServer(REPORT_SERVER_PORT);  // ends the process on failure
    if (server->start() == 0) {
        delete server;
        server = nullptr;
    }

    const struct timespec wait_period = {1, 0};
    while (server != nullptr) {
        if (sigtimedwait(&sigterm_only, nullptr, &wait_period) > 0) {
            net_log("break by signal");
            break;
        }
        if (server->get_status() == ReportServer::STATUS_ERROR) {
            net_log("break by error");
            break;
        }
        sched_yield();
    }

    if (server != nullptr) {
        server->stop();
        delete server;
    }
    if (unlink(pid_path) != 0)
        NET_LOG_ERRNO();
    net_log_close(log_stream);
    net_log_timer_stop();
    return 0;
}
