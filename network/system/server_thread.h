// The machinery the server classes share (the report server and the worker
// thread): a status with its requested change, and threads that can be
// stopped only at one point of their loop.
//
// ThreadStatus holds the four status fields under a reader-writer lock of
// the owner's: `status`, the status a pass works in; `requested_status`,
// installed by the next apply step; `previous_status`; and the changed mark,
// set by every set or request and cleared only by clear_status_changed(),
// so that the owner's thread runs a status's entry step once. Each accessor
// takes the lock itself for a few field accesses; a failed lock call writes
// "exclusive lock: failed at FILE(LINE)" (or "shared lock: ...") with the
// place of the accessor's call, and the accessor goes on without the lock
// (see rwlock_guard.h). Any thread may call the accessors.
//
// A server thread is joinable, has system scope, SCHED_OTHER and a 512 KiB
// stack, and blocks SIGTERM, SIGINT, SIGHUP and SIGPIPE from its first
// instruction: the signals that stop or steer the process reach its main
// thread, and a SIGPIPE aimed at a server thread stays pending instead of
// ending the process. It runs with cancellation disabled except in
// cancellation_window() at the end of each pass, where it holds no lock: it
// is never cancelled inside a hook, a log line or a held lock.
#ifndef NETWORK_SYSTEM_SERVER_THREAD_H_
#define NETWORK_SYSTEM_SERVER_THREAD_H_

#include <pthread.h>
#include <signal.h>

#include <cstdint>

class ThreadStatus {
  public:
    // The status (shared lock).
    int32_t get_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // status := requested := s, previous := the old status, mark set.
    void set_status(int32_t s, const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // requested := s, mark set; the status itself waits for the apply step.
    void request_status(int32_t s, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());
    // With the mark set: previous := status, status := requested. The mark
    // stays set.
    void apply_requested_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    bool is_status_changed(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    void clear_status_changed(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // True once, in the pass whose apply step installed the status: clears
    // the mark, so that the owner runs the status's entry step only then.
    // (No other thread writes the mark, so the test and the clear need not
    // be one step.)
    bool entering_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());

  protected:
    ThreadStatus() = default;
    ~ThreadStatus() = default;
    // The owner makes the lock and hands it over; until then, or when it
    // could not be made (null), the accessors go without.
    void guard_status_with(pthread_rwlock_t* lock) { status_lock_ = lock; }

  private:
    pthread_rwlock_t* status_lock_ = nullptr;
    int32_t status_ = 0;            // GUARDED BY *status_lock_
    int32_t requested_status_ = 0;  // GUARDED BY *status_lock_
    int32_t previous_status_ = 0;   // GUARDED BY *status_lock_
    bool status_changed_ = false;   // GUARDED BY *status_lock_
};

// The signals a server thread blocks.
sigset_t server_thread_signals();

// Creates a server thread running `routine(arg)`; returns pthread_create's
// result. An attribute the system refuses is reported with the caller's
// place, and the thread is created with the others.
int create_server_thread(pthread_t* thread, void* (*routine)(void*), void* arg,
                         const char* file = __builtin_FILE(), int line = __builtin_LINE());

// First thing in a server thread: cancellation off, its signals blocked.
void enter_server_thread();

// The end of a pass: flushes the log when ten seconds have passed (before
// cancellation is enabled: write(2) is a cancellation point, and a cancel
// inside the flush would leave the log's mutex locked), then lets a pending
// cancel end the thread, then calls `wait(context)`, the thread's idle wait,
// which may be a cancellation point too.
void cancellation_window(void (*wait)(void* context), void* context);

#endif  // NETWORK_SYSTEM_SERVER_THREAD_H_
