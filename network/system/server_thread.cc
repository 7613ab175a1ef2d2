#include "network/system/server_thread.h"

#include <cerrno>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REPORT_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || REPORT_HAS_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif
#include <initializer_list>

#include "network/system/net_logging.h"

namespace {

constexpr size_t kThreadStackSize = 524288;  // 512 KiB

// The clean-up handler of the window: a cancel leaves nothing to clean up.
// Under AddressSanitizer it unpoisons the thread's stack, because a cancel
// unwinds the frames without returning from them, and the redzones they
// leave poisoned would be found by the thread's own teardown on the same
// stack: first the frames the cancel has already left (the idle wait's,
// below this one), then, with the sanitizer's own call, those it is leaving.
void cancelled(void*) {
#if defined(__SANITIZE_ADDRESS__) || REPORT_HAS_ADDRESS_SANITIZER
    constexpr size_t kLeft = 16 * 1024;  // far more than the wait and the unwinder use
    char* const frame = static_cast<char*>(__builtin_frame_address(0));
    __asan_unpoison_memory_region(frame - kLeft, kLeft);
    __asan_handle_no_return();
#endif
}

}  // namespace

int32_t ThreadStatus::get_status(const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kShared, file, line);
    return status_;
}

void ThreadStatus::set_status(int32_t s, const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kExclusive, file, line);
    previous_status_ = status_;
    status_ = s;
    requested_status_ = s;
    status_changed_ = true;
}

void ThreadStatus::request_status(int32_t s, const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kExclusive, file, line);
    requested_status_ = s;
    status_changed_ = true;
}

void ThreadStatus::apply_requested_status(const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kExclusive, file, line);
    if (status_changed_) {
        previous_status_ = status_;
        status_ = requested_status_;
    }
}

bool ThreadStatus::is_status_changed(const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kShared, file, line);
    return status_changed_;
}

void ThreadStatus::clear_status_changed(const char* file, int line) {
    RwLockGuard guard(status_lock, RwLockGuard::kExclusive, file, line);
    status_changed_ = false;
}

// Only the owner's thread writes the mark once its thread runs, so the test
// and the clear need not be one step.
bool ThreadStatus::entering_status(const char* file, int line) {
    if (!is_status_changed(file, line))
        return false;
    clear_status_changed(file, line);
    return true;
}

// The one list of the signals the daemon's main thread waits for: those that
// stop it or reopen its log, blocked in every server thread so that they
// reach the main thread's wait. SIGPIPE too, so that one aimed at a server
// thread stays pending instead of ending the process; the main thread leaves
// that one out.
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

// A server thread runs its passes with cancellation disabled, except here,
// where it holds no lock: it is never cancelled inside a hook, a log line or
// a held lock, and a cancel leaves nothing to clean up. The flush comes
// before cancellation is enabled: write(2) is a cancellation point, and a
// cancel inside the flush would leave the log's mutex locked.
void cancellation_window(void (*wait)(void* context), void* context) {
    pthread_cleanup_push(cancelled, nullptr);
    net_log_flush_due();
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_testcancel();
    wait(context);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_pop(0);
}
