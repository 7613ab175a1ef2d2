#include "network/system/server_thread.h"

#include <cerrno>
#include <initializer_list>

#include "network/system/net_logging.h"
#include "network/system/rwlock_guard.h"

namespace {

constexpr size_t kThreadStackSize = 524288;  // 512 KiB

void do_nothing(void*) {}

}  // namespace

int32_t ThreadStatus::get_status(const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kShared, file, line);
    return status_;
}

void ThreadStatus::set_status(int32_t s, const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kExclusive, file, line);
    previous_status_ = status_;
    status_ = s;
    requested_status_ = s;
    status_changed_ = true;
}

void ThreadStatus::request_status(int32_t s, const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kExclusive, file, line);
    requested_status_ = s;
    status_changed_ = true;
}

void ThreadStatus::apply_requested_status(const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kExclusive, file, line);
    if (status_changed_) {
        previous_status_ = status_;
        status_ = requested_status_;
    }
}

bool ThreadStatus::is_status_changed(const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kShared, file, line);
    return status_changed_;
}

void ThreadStatus::clear_status_changed(const char* file, int line) {
    RwLockGuard guard(status_lock_, RwLockGuard::kExclusive, file, line);
    status_changed_ = false;
}

bool ThreadStatus::entering_status(const char* file, int line) {
    if (!is_status_changed(file, line))
        return false;
    clear_status_changed(file, line);
    return true;
}

sigset_t server_thread_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&set, signal_number);
    return set;
}

int create_server_thread(pthread_t* thread, void* (*routine)(void*), void* arg, const char* file,
                         int line) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    const sigset_t blocked = server_thread_signals();
    const int results[] = {
        pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM),
        pthread_attr_setschedpolicy(&attributes, SCHED_OTHER),
        pthread_attr_setstacksize(&attributes, kThreadStackSize),
        // Blocked from the first instruction: no moment in which a new
        // thread could take a signal meant for the main thread.
        pthread_attr_setsigmask_np(&attributes, &blocked),
    };
    for (const int result : results) {
        if (result != 0) {
            errno = result;
            net_log_errno(file, line);
        }
    }
    const int result = pthread_create(thread, &attributes, routine, arg);
    pthread_attr_destroy(&attributes);
    return result;
}

void enter_server_thread() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    // Blocked again here for a thread whose signal-mask attribute the system
    // refused: it started with its creator's mask, which lacks SIGPIPE.
    const sigset_t blocked = server_thread_signals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

void cancellation_window(void (*wait)(void* context), void* context) {
    pthread_cleanup_push(do_nothing, nullptr);
    net_log_flush_due();
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_testcancel();
    wait(context);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_pop(0);
}
