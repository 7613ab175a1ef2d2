// No lock is held when the worker can be cancelled: each is taken and
// released inside one accessor or step. No code holds both locks at once:
// assign() reads the status before it takes job_lock, and the worker releases
// job_lock before it calls a hook or requests a status.
#include "network/server/net_worker_thread.h"

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "network/system/net_logging.h"

namespace {

constexpr long kWaitNanoseconds = 10000000;  // the idle sleep of one WORKER_WAIT pass

void yield(void*) {
    sched_yield();
}

}  // namespace

WorkerThread::WorkerThread() {
    // A lock that cannot be made ends the construction here: the job lock
    // stays unmade when the status lock failed, and the status is never set
    // (it reads WORKER_INIT from its initializer). Such an object can only be
    // destroyed: start() refuses it, so no worker thread ever runs, and the
    // guards skip the missing locks, so get_status() reads WORKER_INIT and
    // assign() refuses.
    if (!status_lock.init() || !job_lock.init())
        return;
    set_status(WORKER_INIT);
}

WorkerThread::~WorkerThread() = default;

int WorkerThread::start() {
    if (!job_lock.ready()) {
        net_log("worker thread: not started, its locks could not be created");
        return 0;
    }
    if (thread_running) {
        net_log("worker thread: already started");
        return 0;
    }
    thread_arg = this;
    if (create_server_thread(&thread_id, thread_main, &thread_arg) == 0)
        thread_running = true;
    else
        net_log("pthread_create: failed");
    return thread_running ? 1 : 0;
}

int WorkerThread::stop() {
    if (!thread_running)
        return 0;
    int result = 1;
    if (pthread_cancel(thread_id) != 0) {
        net_log("pthread_cancel: failed");
        result = 0;
    }
    if (pthread_join(thread_id, nullptr) != 0) {
        net_log("pthread_join: failed");
        result = 0;
    }
    thread_running = false;
    return result;
}

int WorkerThread::assign(int socket) {
    if (get_status() != WORKER_WAIT)
        return 0;
    uint32_t started_before;
    {
        RwLockGuard guard(job_lock, RwLockGuard::kExclusive);
        // A socket is held from assign() until the worker has closed it. The
        // worker takes a socket in a WORKER_WAIT pass but leaves WORKER_WAIT
        // only in the next one, so the status alone would let a second socket
        // in during begin_job(), and that socket would overwrite the first
        // one's job_socket: the close at the end of the first job would then
        // close the wrong descriptor and leak the right one.
        if (job_pending || job_socket != -1)
            return 0;
        job_pending = true;
        job_socket = socket;
        started_before = jobs_started;
    }
    // The worker takes the socket within one pass (10 ms) and enters
    // WORKER_SERVE in the pass after. That is waited for by the count of
    // entries into WORKER_SERVE, not by watching the status leave
    // WORKER_WAIT: a short job can pass through WORKER_SERVE and
    // WORKER_CLOSE back to WORKER_WAIT while this thread is not running, and
    // a wait on the status would then never end.
    for (;;) {
        {
            RwLockGuard guard(job_lock, RwLockGuard::kShared);
            if (jobs_started != started_before)
                return 1;
        }
        sched_yield();
    }
}

void WorkerThread::begin_job(int /*read_socket*/, int /*write_socket*/) {
    raise(SIGTRAP);
}

void WorkerThread::end_job() {
    raise(SIGTRAP);
}

int WorkerThread::serve_job() {
    return 0;
}

void WorkerThread::take_job() {
    int socket;
    {
        RwLockGuard guard(job_lock, RwLockGuard::kExclusive);
        if (!job_pending)
            return;
        socket = job_socket;
        job_pending = false;
    }
    begin_job(socket, socket);
    request_status(WORKER_SERVE);
}

void WorkerThread::forget_job() {
    RwLockGuard guard(job_lock, RwLockGuard::kExclusive);
    job_pending = false;
}

void WorkerThread::count_started_job() {
    RwLockGuard guard(job_lock, RwLockGuard::kExclusive);
    ++jobs_started;
}

void WorkerThread::close_job() {
    int socket;
    {
        RwLockGuard guard(job_lock, RwLockGuard::kExclusive);
        socket = job_socket;
        job_socket = -1;  // from here on the worker holds no socket
    }
    // A shutdown that fails (the peer reset the connection, the descriptor
    // is no socket) changes nothing for the close that follows.
    shutdown(socket, SHUT_RDWR);
    if (close(socket) != 0)
        NET_LOG_ERRNO();
}

void* WorkerThread::thread_main(void* arg) {
    WorkerThread* const self = *static_cast<WorkerThread**>(arg);

    enter_server_thread();

    for (;;) {
        self->apply_requested_status();
        switch (self->get_status()) {
            case WORKER_INIT:
                if (self->entering_status())
                    self->forget_job();
                self->request_status(WORKER_WAIT);
                break;
            case WORKER_WAIT: {
                self->entering_status();
                self->take_job();
                const timespec pause = {0, kWaitNanoseconds};
                nanosleep(&pause, nullptr);
                break;
            }
            case WORKER_SERVE:
                if (self->entering_status())
                    self->count_started_job();
                if (self->serve_job() == 0) {
                    self->end_job();
                    self->request_status(WORKER_CLOSE);
                }
                break;
            case WORKER_CLOSE:
                if (self->entering_status())
                    self->close_job();
                self->request_status(WORKER_WAIT);
                break;
            default:
                break;
        }

        // The only place where stop() can end the thread; no lock is held.
        cancellation_window(yield, nullptr);
    }
}
