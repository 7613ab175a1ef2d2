// The report server daemon: its entry point.
//
// main() parses the command line, detaches (fork, setsid, fork), writes the
// pid file, opens the log file when given a log directory, installs a
// one-shot SIGTERM handler and then waits for SIGTERM in one-second waits.
// On SIGTERM it removes the pid file, closes the log and returns 0.
#include <errno.h>
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "network/system/net_logging.h"

namespace {

constexpr int REPORT_SERVER_PORT = 32730;
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

    const struct timespec wait_period = {1, 0};
    for (;;) {
        if (sigtimedwait(&sigterm_only, nullptr, &wait_period) > 0) {
            net_log("break by signal");
            break;
        }
        sched_yield();
    }

    if (unlink(pid_path) != 0)
        NET_LOG_ERRNO();
    net_log_close(log_stream);
    net_log_timer_stop();
    return 0;
}
