// End-to-end harness: runs the real report_server binary the way an operator
// does, inside private namespaces, and reads back what it left.
//
// enter_private_namespaces() (called once by the test binary's main, before
// any test) gives the process its own network namespace with loopback up and
// its own mount namespace with fresh tmpfs on /run and /home. The daemon's
// pid file (/var/run is /run), its UDP port and the daily script path are
// therefore private to the test process: tests run in parallel and never
// touch the host's. The process is also made a child subreaper, so the
// detached daemon (a grandchild) is reparented to it and its exit status
// can be read.
//
// Daemon starts the binary, and its destructor kills and reaps whatever is
// still running, so a failed test never leaves a daemon behind. Every wait
// is bounded.
#ifndef TESTS_E2E_DAEMON_HARNESS_H_
#define TESTS_E2E_DAEMON_HARNESS_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Fails (returns false with a message on stderr) when not root or when the
// kernel refuses the namespaces.
bool enter_private_namespaces();

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& text, mode_t mode = 0644);

// Sends one UDP datagram to 127.0.0.1:port. Returns false when sendto fails.
bool send_datagram(const std::string& bytes, int port = 32730);

// One frame as peers send it: CRC-16 of the payload, its length and
// `serial`, each big-endian, then the payload.
std::string frame_of(const std::string& payload, uint16_t serial = 1);

// A report record (266 bytes) with `type`, `level` and the text field
// holding `text` (at most 256 bytes, zero-padded; may hold zero bytes).
std::string report_record(int level, const std::string& text, int type = 192);

// Lines of `text` with their "<date time> " stamp removed (lines without a
// stamp are kept as they are).
std::vector<std::string> unstamped_lines(const std::string& text);

// Whether every line of `text` starts with a well-formed log stamp.
bool every_line_stamped(const std::string& text);

class Daemon {
  public:
    static constexpr char kPidFile[] = "/var/run/vantor_report//32730.pid";

    Daemon() = default;
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs report_server with `args`; extra `env` entries ("NAME=value") are
    // added to the environment. The daemon's inherited standard error goes
    // to stderr_path(). Returns the exit code of the process that was
    // started (the first parent), or -1 when it was killed by a signal or
    // did not end within 5 s.
    int run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

    // Waits (at most `seconds`) for the pid file to name a live process and
    // remembers that pid. False on time-out.
    bool wait_for_pid_file(double seconds = 5);

    // Waits (at most `seconds`) until the daemon's main thread waits for
    // SIGTERM (its wchan in /proc): start-up is over, and a SIGTERM now
    // stops it in order.
    bool wait_until_waiting_for_sigterm(double seconds = 5);

    // Waits until the UDP port is bound in this namespace (/proc/net/udp).
    bool wait_until_bound(int port = 32730, double seconds = 5);

    pid_t pid() const { return pid_; }

    // Sends SIGTERM and waits for the daemon's end. Returns its wait status,
    // or -1 when it did not end within `seconds` (it is then killed).
    int stop(double seconds = 10);

    // Waits for the daemon to end by itself; wait status or -1 on time-out.
    int wait_exit(double seconds);

    // Whether the remembered daemon process still runs.
    bool running();

    // The file that received the daemon's inherited standard error.
    std::string stderr_path() const { return stderr_path_; }
    std::string stderr_text() const { return read_file(stderr_path_); }

    // CPU time (user + system) of the daemon so far, in seconds.
    double cpu_seconds() const;

  private:
    pid_t pid_ = -1;
    std::string stderr_path_ = "/run/e2e-stderr.txt";
};

// Reaps every ended child of this process (the subreaper gets orphaned
// grandchildren too) and returns the wait status of `pid` once it has
// ended, or -1 when it is still running after `seconds`.
int reap_until(pid_t pid, double seconds);

#endif  // TESTS_E2E_DAEMON_HARNESS_H_
