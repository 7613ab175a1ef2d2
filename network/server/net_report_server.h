// ReportServer: the one server object of the report server daemon.
//
// It owns the UDP socket bound to its port on every IPv4 address, the frame
// reader on that socket, the server status and two threads:
//
//   status thread     drives the status INIT -> RUN (-> ERROR when the
//                     reader fails) and, while RUN, takes in the reports:
//                     each valid frame whose record type is 192 becomes the
//                     log line "LEVEL %d: (%s)".
//   daily job thread  runs the installation's daily script at 02:00 site
//                     time, holding log_lock so that no report line lands
//                     inside the script's output.
//
// Locks (both reader-writer locks that prefer writers):
//   status_lock  guards status, requested_status, previous_status and
//                status_changed; held only inside the status accessors.
//   log_lock     taken exclusively around each report line and around the
//                whole run of the daily script. No path holds both locks.
//
// Threads: the main thread constructs, calls start(), polls get_status(),
// calls stop() and destroys, in that order. After construction the frame
// reader belongs to the status thread alone. Both server threads block
// SIGTERM and SIGPIPE, so SIGTERM always reaches the main thread, and both
// can be cancelled only in a short window at the end of each pass, where
// they hold no lock.
//
// Construction ends the process (status 0, after an errno report) when the
// socket cannot be made or bound, or a lock cannot be initialised.
#ifndef NETWORK_SERVER_NET_REPORT_SERVER_H_
#define NETWORK_SERVER_NET_REPORT_SERVER_H_

#include <pthread.h>

#include <cstdint>

#include "network/system/net_dgram_io.h"
#include "network/system/net_function.h"

// The UDP port of the report server; also the base name of its pid and log
// files.
inline constexpr uint16_t REPORT_SERVER_PORT = 32730;

// The installation's daily script and the site-time minute of the day it
// runs in (02:00).
inline constexpr char kDailyScript[] = "/home/disk1//etc/center/rp.daily";
inline constexpr int kDailyMinuteOfDay = 2 * 60;

class ReportServer : public NetHost {
public:
    enum Status { STATUS_INIT = 0, STATUS_RUN = 1, STATUS_ERROR = 2 };

    explicit ReportServer(uint16_t port);
    // Closes the socket and destroys the locks. stop() must come first
    // whenever start() created a thread.
    ~ReportServer() override;
    ReportServer(const ReportServer&) = delete;
    ReportServer& operator=(const ReportServer&) = delete;

    // Starts the status thread, then the daily job thread: 1 when both run,
    // 0 when one could not be created (then no thread of the server runs).
    int start();
    // Cancels and joins both threads: 1 when every call succeeded, else 0.
    int stop();

    // Status accessors; each takes status_lock for its few field accesses.
    int get_status();
    void set_status(int status_value);
    void request_status(int status_value);
    void apply_requested_status();
    bool is_status_changed();
    void clear_status_changed();

    // One intake pass (status thread only): at most one datagram from the
    // socket, then every complete frame the reader holds. 1 while the reader
    // is usable, 0 once it has failed.
    int receive_reports();

    // Thread routines; `arg` is the address of thread_arg. They never
    // return: the threads end by cancellation.
    static void* status_thread_main(void* arg);
    static void* daily_job_main(void* arg);

private:
    uint16_t port;
    ReportServer* thread_arg = nullptr;
    pthread_rwlock_t locks[2];  // status_lock, log_lock
    pthread_rwlock_t& status_lock = locks[0];
    pthread_rwlock_t& log_lock = locks[1];
    pthread_t status_thread{};
    pthread_t daily_thread{};
    int status = STATUS_INIT;            // GUARDED BY status_lock
    int requested_status = STATUS_INIT;  // GUARDED BY status_lock
    int previous_status = STATUS_INIT;   // GUARDED BY status_lock
    bool status_changed = false;         // GUARDED BY status_lock
    int socket_fd = -1;
    DgramFrameReader endpoint;  // status thread only, after construction
    // Whether the last intake pass appended a datagram; the status thread
    // then starts its next pass at once instead of waiting on the socket.
    bool intake_read_datagram = false;  // status thread only
};

#endif  // NETWORK_SERVER_NET_REPORT_SERVER_H_
