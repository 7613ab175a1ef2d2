#include "e2e/daemon_harness.h"

#include "network/system/net_dgram_io.h"
#include "network/system/report_record.h"
#include "support/stderr_capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#ifndef REPORT_SERVER_BINARY
#error "REPORT_SERVER_BINARY must name the daemon binary under test"
#endif

extern char** environ;

namespace {

std::map<pid_t, int> ended_children;  // wait statuses reaped but not yet asked for

double monotonic_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

void sleep_seconds(double seconds) {
    struct timespec pause = {static_cast<time_t>(seconds),
                             static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    nanosleep(&pause, nullptr);
}

// Calls `done` every 10 ms until it returns true (then true) or `seconds`
// have passed (then false).
bool poll_until(double seconds, const std::function<bool()>& done) {
    const double deadline = monotonic_seconds() + seconds;
    for (;;) {
        if (done())
            return true;
        if (monotonic_seconds() > deadline)
            return false;
        sleep_seconds(0.01);
    }
}

void reap_ended() {
    for (;;) {
        int status = 0;
        const pid_t child = waitpid(-1, &status, WNOHANG);
        if (child <= 0)
            return;
        ended_children[child] = status;
    }
}

bool fail(const char* what) {
    fprintf(stderr, "private namespaces: %s: %s\n", what, strerror(errno));
    return false;
}

bool bring_loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return fail("socket");
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strcpy(request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok || fail("loopback up");
}

}  // namespace

bool enter_private_namespaces() {
    if (geteuid() != 0) {
        fprintf(stderr, "private namespaces: the end-to-end tests must run as root\n");
        return false;
    }
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("mount /");
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
        return fail("tmpfs on /run");
    if (mount("tmpfs", "/home", "tmpfs", 0, "mode=0755") != 0)
        return fail("tmpfs on /home");
    if (!bring_loopback_up())
        return false;
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return fail("child subreaper");
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

bool send_datagram(const std::string& bytes, int port) {
    static const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::string frame_of(const std::string& payload, uint16_t serial) {
    const uint16_t crc = net_dgram_crc16(reinterpret_cast<const uint8_t*>(payload.data()),
                                         static_cast<uint32_t>(payload.size()));
    const uint16_t length = static_cast<uint16_t>(payload.size());
    std::string frame = {static_cast<char>(crc >> 8),    static_cast<char>(crc & 0xFF),
                         static_cast<char>(length >> 8), static_cast<char>(length & 0xFF),
                         static_cast<char>(serial >> 8), static_cast<char>(serial & 0xFF)};
    return frame + payload;
}

std::string report_record(int level, const std::string& text, int type) {
    std::string record(kReportRecordSize, '\0');
    record[8] = static_cast<char>(type);
    record[9] = static_cast<char>(level);
    record.replace(10, text.size(), text);
    record.resize(kReportRecordSize);
    return record;
}

std::vector<std::string> unstamped_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(stamp_length(line)));
    }
    return lines;
}

bool every_line_stamped(const std::string& text) {
    if (!text.empty() && text.back() != '\n')
        return false;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (stamp_length(line) == 0)
            return false;
    }
    return true;
}

int reap_until(pid_t pid, double seconds) {
    int status = -1;
    poll_until(seconds, [&] {
        reap_ended();
        auto ended = ended_children.find(pid);
        if (ended == ended_children.end())
            return false;
        status = ended->second;
        ended_children.erase(ended);
        return true;
    });
    return status;
}

Daemon::~Daemon() {
    if (pid_ > 0 && running()) {
        kill(pid_, SIGKILL);
        reap_until(pid_, 5);
    }
    reap_ended();
}

int Daemon::run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.push_back(*entry);
    environment.insert(environment.end(), env.begin(), env.end());
    // Libraries preloaded by a test come ahead of a sanitizer runtime linked
    // into the daemon; tell the runtime that this is intended.
    environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");

    const pid_t child = fork();
    if (child == 0) {
        const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(err, STDERR_FILENO);
        close(err);
        std::vector<char*> argv{const_cast<char*>(REPORT_SERVER_BINARY)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        execve(REPORT_SERVER_BINARY, argv.data(), envp.data());
        _exit(127);
    }
    const int status = reap_until(child, 5);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Daemon::wait_for_pid_file(double seconds) {
    return poll_until(seconds, [&] {
        const pid_t pid = static_cast<pid_t>(atoi(read_file(kPidFile).c_str()));
        if (pid <= 0 || kill(pid, 0) != 0)
            return false;
        pid_ = pid;
        return true;
    });
}

bool Daemon::wait_until_waiting_for_sigterm(double seconds) {
    const std::string wchan = "/proc/" + std::to_string(pid_) + "/wchan";
    return poll_until(seconds,
                      [&] { return read_file(wchan).find("sigtimedwait") != std::string::npos; });
}

bool Daemon::wait_until_bound(int port, double seconds) {
    char local[32];
    snprintf(local, sizeof local, ":%04X ", port);
    return poll_until(seconds,
                      [&] { return read_file("/proc/net/udp").find(local) != std::string::npos; });
}

bool Daemon::running() {
    reap_ended();
    return pid_ > 0 && ended_children.count(pid_) == 0 && kill(pid_, 0) == 0;
}

int Daemon::stop(double seconds) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    return wait_exit(seconds);
}

int Daemon::wait_exit(double seconds) {
    const int status = reap_until(pid_, seconds);
    if (status == -1) {
        kill(pid_, SIGKILL);
        reap_until(pid_, 5);
    }
    pid_ = -1;
    return status;
}

double Daemon::cpu_seconds() const {
    const std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
    const size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(end_of_name + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {  // field 3 is the state
        if (index == 14)
            user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
