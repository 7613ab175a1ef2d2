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
//   status_lock  guards the status fields (ThreadStatus); held only inside
//                the status accessors.
//   log_lock     taken exclusively around each report line and around the
//                whole run of the daily script. No path holds both locks.
//
// Threads: the main thread constructs, calls start(), polls get_status(),
// calls stop() and destroys, in that order. After construction the frame
// reader, the batch and the report log belong to the status thread alone,
// until stop() has joined it. Both server threads block SIGTERM, SIGINT,
// SIGHUP and SIGPIPE, so the main thread takes the signals that stop the
// daemon, and both can be cancelled only in a short window at the end of
// each pass, where they hold no lock.
//
// Construction ends the process (status 0, after an errno report) when the
// socket cannot be made or bound, or a lock cannot be initialised.
#ifndef NETWORK_SERVER_NET_REPORT_SERVER_H_
#define NETWORK_SERVER_NET_REPORT_SERVER_H_

#include <pthread.h>

#include <cstdint>

#include "network/server/held_lines.h"
#include "network/system/net_dgram_io.h"
#include "network/system/net_function.h"
#include "network/system/report_intake.h"
#include "network/system/report_record.h"
#include "network/system/server_thread.h"

// The installation's daily script and the site-time minute of the day it
// runs in (02:00).
inline constexpr char kDailyScript[] = "/home/disk1//etc/center/rp.daily";
inline constexpr int kDailyMinuteOfDay = 2 * 60;

// The status accessors come from ThreadStatus: get_status(), set_status(),
// request_status(), apply_requested_status(), is_status_changed(),
// clear_status_changed(), guarded by status_lock.
class ReportServer : public NetHost, public ThreadStatus {
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
    // Cancels and joins the daily job thread, then the status thread, then
    // takes the reports already waiting in the socket (none that come
    // later) and writes them, the report lines still held and the losses not
    // yet told: 1 when every cancel and join succeeded.
    int stop();

    // One intake pass (status thread only): the datagrams waiting in the
    // socket, up to a batch of them with one recvmmsg, each taken apart on
    // its own before the next is appended, so that the lines are exactly
    // those of one datagram per pass. 1 while the reader is usable, 0 once
    // it has failed.
    int receive_reports();

    // Thread routines; `arg` is the address of thread_arg. They never
    // return: the threads end by cancellation.
    static void* status_thread_main(void* arg);
    static void* daily_job_main(void* arg);

  private:
    // The status thread's idle wait in its cancellation window (`arg` is
    // the server): none after a busy pass; the socket, or just time, else,
    // until the next flush at the latest.
    static void status_thread_wait(void* arg);
    // Flushes the log when a flush is due (net_report_server.cc says when);
    // `intake_dry`: the pass found the socket empty. Status thread.
    void flush_log(bool intake_dry);

    // The status thread's writer of report lines, and of the loss line. A
    // line is written only while this thread holds log_lock, so none lands
    // inside the daily script's output; the thread takes the lock once for a
    // whole batch of datagrams (open()), not once a line. While the daily
    // job holds it, lines wait in memory, and they are written in their
    // order, before any later line, as soon as the lock is free again; only
    // when kHeldBytes are waiting does the intake wait for the lock, and
    // datagrams wait in the socket. Status thread only, until stop() has
    // joined it.
    class ReportLog : public ReportSink {
      public:
        explicit ReportLog(pthread_rwlock_t* log_lock) : log_lock_(log_lock) {}
        // Tells whether the caller holds log_lock (or its lock call failed,
        // and lines go out without it): then the lines kept go out now, and
        // every report until the next open() at once; otherwise they wait.
        void open(bool log_lock_held);
        void report(uint32_t level, const char* text) override;
        // Writes `line` now, or keeps it while the daily script runs; takes
        // the lock itself.
        void write(const char* line);
        // Writes the lines kept, if the lock is free (or, with `wait`, once
        // it is).
        void write_held(bool wait);
        bool holding() const { return !held_.empty(); }

      private:
        // Keeps `line`, or when no more fit, waits for the lock and writes
        // the lines kept and `line`.
        void keep(const char* line);
        void write_held_now();

        pthread_rwlock_t* log_lock_;
        bool log_lock_held_ = false;
        HeldLines held_{kHeldBytes};
    };

    // Report lines kept in memory while the daily script holds the log:
    // enough for a busy minute; beyond it, datagrams wait in the socket.
    static constexpr size_t kHeldBytes = 64 << 20;

    // Takes the datagrams of one batch apart, each on its own.
    void take_batch();
    // Writes how many datagrams the full receive buffer dropped and how many
    // frames were dropped for a bad length or CRC, when either count has
    // grown: at most once a minute, and once more at the stop.
    void report_losses(bool at_stop);
    // Reads the socket's own count of the datagrams it dropped into
    // socket_drops (kept when the system does not tell) and returns it.
    uint32_t read_socket_drops();
    // At the stop: takes what waits in the socket, but nothing that comes
    // after, through take_batch().
    void take_waiting_reports();
    // take_waiting_reports() reads at most this many batches even if the
    // socket keeps filling (when its filter could not be set).
    static constexpr uint32_t kStopBatchesMax = 1024;

    uint16_t port;
    ReportServer* thread_arg = nullptr;
    pthread_rwlock_t locks[2];  // status_lock, log_lock
    pthread_rwlock_t& status_lock = locks[0];
    pthread_rwlock_t& log_lock = locks[1];
    pthread_t status_thread{};
    pthread_t daily_thread{};
    int socket_fd = -1;

    // The status thread's own, after construction:
    DgramFrameReader endpoint;
    DgramBatch batch;
    ReportLog report_log;
    // Whether the last intake pass received a datagram; the status thread
    // then starts its next pass at once instead of waiting on the socket.
    bool intake_read_datagram = false;
    bool status_thread_busy = false;  // the last pass did work
    int64_t last_log_flush = 0;       // monotonic microseconds
    uint64_t bad_datagrams = 0;       // dropped whole (too long) or with a partial frame at the end
    uint32_t socket_drops = 0;        // as read_socket_drops() last read it
    int64_t drops_read_at = INT64_MIN;  // monotonic seconds
    uint32_t reported_drops = 0;
    uint64_t reported_bad_frames = 0;
    int64_t last_loss_report = INT64_MIN;  // monotonic seconds
};

#endif  // NETWORK_SERVER_NET_REPORT_SERVER_H_
