// WorkerThread: a thread that serves one connected socket at a time. A
// derived class supplies the hooks: begin_job() when the worker takes a
// socket, serve_job() once per pass until it returns 0, end_job() after the
// last one. The worker then shuts the socket down, closes it and waits for
// the next one.
//
// Ownership: from assign() on the worker owns the socket and closes it; the
// caller must neither close nor reuse it. Only a socket whose job has not
// ended when stop() runs stays open, for the caller to close.
//
// Threads: the controlling thread calls start(), then stop(), before a
// derived class's part is destroyed (the destructor neither stops the thread
// nor closes the socket). Any thread may call assign() and get_status(). The
// hooks run on the worker thread, each to its end: it is cancelled only
// between passes.
//
// Status: WORKER_INIT -> WORKER_WAIT, then per socket WORKER_SERVE ->
// WORKER_CLOSE -> WORKER_WAIT. Failures are logged.
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

    // 1 when the thread runs; 0 when it could not be created, the locks
    // could not be made, or it already runs. After stop() the worker may be
    // started again, and goes on from its status.
    int start();

    // Cancels the worker and joins it, within about one pass unless a hook
    // runs, which is waited for. 0 when no thread was started or a cancel or
    // join failed. An assign() waiting for a stopped worker waits on until
    // it is started again.
    int stop();

    // Hands `socket` (not -1) to the worker. 0, and nothing changes, unless
    // the worker is in WORKER_WAIT and holds no socket, untaken or not yet
    // closed. On 1 the worker has called begin_job() and entered
    // WORKER_SERVE; the call yields the processor until then.
    int assign(int socket);

    using ThreadStatus::get_status;

  protected:
    // The job socket is both arguments. The base raises SIGTRAP: a derived
    // class must supply it, and end_job().
    virtual void begin_job(int read_socket, int write_socket);
    virtual void end_job();
    // One step of the job: nonzero asks for another in the next pass, 0 ends
    // the job. The base returns 0.
    virtual int serve_job();

  private:
    static void* thread_main(void* arg);

    void forget_job();
    void take_job();
    void count_started_job();
    void close_job();

    WorkerThread* thread_arg = nullptr;  // its address is the thread's argument
    RwLock job_lock;                     // made after ThreadStatus's status_lock
    pthread_t thread_id{};
    bool job_pending GUARDED_BY(job_lock) = false;
    int job_socket GUARDED_BY(job_lock) = -1;        // -1: none held
    uint32_t jobs_started GUARDED_BY(job_lock) = 0;  // entries into WORKER_SERVE

    bool thread_running = false;  // the controlling thread's: start(), stop()
};

#endif  // NETWORK_SERVER_NET_WORKER_THREAD_H_
