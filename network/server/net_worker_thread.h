// WorkerThread: a thread that serves one connected socket at a time.
//
// A derived class supplies three hooks: begin_job() when the worker takes a
// socket, serve_job() once per pass until it returns 0, end_job() after the
// last serve_job(). The worker then shuts the socket down in both directions,
// closes it and waits for the next one.
//
// Ownership: assign() hands the socket over. From then on the worker owns it
// and closes it; the caller must neither close nor reuse the descriptor.
// Only a socket whose job has not ended when stop() runs stays open; closing
// it is then up to the caller.
//
// Threads:
//   - The controlling thread calls start(), then stop(), then destroys the
//     object. stop() must come before destruction (the destructor neither
//     stops the thread nor closes the job socket), and a derived class must
//     call it before its own part is destroyed, since the worker calls its
//     hooks.
//   - Any thread may call assign() and get_status().
//   - The hooks run on the worker thread only, one at a time. A hook always
//     runs to its end: the worker is a server thread (server_thread.h),
//     cancelled only at the end of a pass, and stop() waits for that.
//
// Status: WORKER_INIT -> WORKER_WAIT, then once per socket WORKER_WAIT ->
// WORKER_SERVE -> WORKER_CLOSE -> WORKER_WAIT. A requested status takes
// effect at the top of the worker's next pass; a status's entry step runs in
// the pass that installed it. While it waits the worker sleeps 10 ms per pass.
//
// Results: start(), stop() and assign() return 1 for success, 0 for failure
// or refusal; failures are written to the log.
#ifndef NETWORK_SERVER_NET_WORKER_THREAD_H_
#define NETWORK_SERVER_NET_WORKER_THREAD_H_

#include <pthread.h>

#include <cstdint>

#include "network/system/net_function.h"
#include "network/system/server_thread.h"

class WorkerThread : public NetHost, protected ThreadStatus {
  public:
    enum : int32_t {
        WORKER_INIT = 0,
        WORKER_WAIT = 1,
        WORKER_SERVE = 2,
        WORKER_CLOSE = 3,
    };

    WorkerThread();
    ~WorkerThread() override;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Creates the worker thread (joinable, system scope, SCHED_OTHER, 512 KiB
    // stack). 1 when it runs; 0 after "pthread_create: failed", when the
    // locks could not be created, or when the thread already runs. After
    // stop() it may be called again: the worker goes on from its status.
    int start();

    // Cancels the worker and joins it; returns within about one pass unless
    // a hook is running, which is waited for. 1 when cancel and join
    // succeeded; 0 after "pthread_cancel: failed" or "pthread_join: failed",
    // or when no thread was started. An assign() that waits for a stopped
    // worker goes on waiting until the worker is started again.
    int stop();

    // Hands `socket` (not -1) to the worker. 0, and nothing changes, unless
    // the worker is in WORKER_WAIT and holds no socket, neither an untaken
    // one nor one whose job has not been closed yet. On 1 the worker has
    // taken the socket, called begin_job() and entered WORKER_SERVE: the
    // call yields the processor until then.
    int assign(int socket);

    // The current status (shared lock).
    using ThreadStatus::get_status;

  protected:
    // Called on the worker thread when it takes a socket; the job socket is
    // passed as both arguments. The base raises SIGTRAP: derived classes
    // must supply it.
    virtual void begin_job(int read_socket, int write_socket);
    // Called on the worker thread after the last serve_job(), before the
    // socket is shut down and closed. The base raises SIGTRAP.
    virtual void end_job();
    // One step of the job: nonzero asks to be called again in the next pass,
    // 0 ends the job. The base returns 0.
    virtual int serve_job();

  private:
    static void* thread_main(void* arg);

    // WORKER_INIT entry: no socket is pending.
    void forget_job();
    // WORKER_WAIT: takes a pending socket, if any, and begins its job.
    void take_job();
    // WORKER_SERVE entry: lets a waiting assign() return.
    void count_started_job();
    // WORKER_CLOSE entry: shuts the job socket down and closes it.
    void close_job();

    WorkerThread* thread_arg = nullptr;  // its address is the thread's argument
    RwLock job_lock;                     // made after ThreadStatus's status_lock
    pthread_t thread_id{};
    bool job_pending GUARDED_BY(job_lock) = false;
    int job_socket GUARDED_BY(job_lock) = -1;  // -1: none held
    uint32_t jobs_started GUARDED_BY(job_lock) = 0;  // entries into WORKER_SERVE

    bool thread_running = false;  // the controlling thread's: start(), stop()
};

#endif  // NETWORK_SERVER_NET_WORKER_THREAD_H_
