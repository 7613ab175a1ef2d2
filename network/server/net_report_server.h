// ReportServer: the report server daemon's one server object. It owns the
// UDP socket bound to its port on every IPv4 address, the frame reader and
// the intake on it, the status (INIT -> RUN, -> ERROR once the reader has
// failed) and two threads: the status thread, which takes the reports in,
// and the daily job thread, which runs the daily script. docs/design.md
// tells how they work together.
//
// Threads: the main thread constructs, calls start(), polls get_status(),
// calls stop() and destroys, in that order. The members marked below belong
// to the status thread from construction until stop() has joined it, and to
// the caller of stop() after that. status_lock guards the status; log_lock
// keeps report lines and the daily script's output apart.
//
// Construction ends the process (status 0, after an errno report) when the
// socket cannot be made or bound, or a lock cannot be made.
#ifndef NETWORK_SERVER_NET_REPORT_SERVER_H_
#define NETWORK_SERVER_NET_REPORT_SERVER_H_

#include <pthread.h>

#include <cstdint>

#include "network/server/held_lines.h"
#include "network/server/report_intake.h"
#include "network/system/net_dgram_io.h"
#include "network/system/net_function.h"
#include "network/system/report_record.h"
#include "network/system/server_thread.h"
#include "network/system/thread_annotations.h"

// The installation's daily script and the site-time minute of the day it
// runs in (02:00).
inline constexpr char kDailyScript[] = "/home/disk1//etc/center/rp.daily";
inline constexpr int kDailyMinuteOfDay = 2 * 60;

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
    // writes the reports already waiting in the socket (none that come
    // later), the lines still held and the losses not yet told: 1 when every
    // cancel and join succeeded.
    int stop();

    // One intake pass (status thread only): the datagrams waiting in the
    // socket, up to a batch of them with one recvmmsg. 1 while the reader is
    // usable, 0 once it has failed.
    int receive_reports();

    // Thread routines; `arg` is the address of thread_arg.
    static void* status_thread_main(void* arg);
    static void* daily_job_main(void* arg);

  private:
    // Report lines kept in memory while the daily script holds the log.
    static constexpr size_t kHeldBytes = 64 << 20;
    // take_waiting_reports() reads at most this many batches.
    static constexpr uint32_t kStopBatchesMax = 1024;

    // The intake's sinks: lines written at once, or kept.
    class LineWriter final : public ReportSink {
      public:
        void report(uint32_t level, const char* text) override;
    };
    class LineKeeper final : public ReportSink {
      public:
        explicit LineKeeper(ReportServer& server) : server_(server) {}
        void report(uint32_t level, const char* text) override;

      private:
        ReportServer& server_;
    };

    static void status_thread_wait(void* arg);
    void flush_log(bool intake_dry);

    void take_batch();
    void keep_line(const char* line);
    void write_held_lines() REQUIRES(log_lock);
    void write_held_lines_when_free(bool wait);
    void write_line(const char* line);

    void report_losses(bool at_stop);
    void read_socket_drops();
    void take_waiting_reports();

    void run_daily_script() REQUIRES(log_lock);

    uint16_t port;
    ReportServer* thread_arg = nullptr;
    RwLock log_lock;  // made after ThreadStatus's status_lock
    pthread_t status_thread{};
    pthread_t daily_thread{};
    int socket_fd = -1;

    // The status thread's (see above):
    DgramFrameReader endpoint;
    DgramBatch batch;
    ReportIntake intake{endpoint};
    HeldLines held_lines{kHeldBytes};
    bool status_thread_busy = false;    // the last pass received a datagram, or changed the status
    int64_t last_log_flush = 0;         // monotonic microseconds
    uint32_t socket_drops = 0;          // as read_socket_drops() last read it
    int64_t drops_read_at = INT64_MIN;  // monotonic seconds
    uint32_t reported_drops = 0;
    uint64_t reported_bad_frames = 0;
    int64_t last_loss_report = INT64_MIN;  // monotonic seconds
};

#endif  // NETWORK_SERVER_NET_REPORT_SERVER_H_
