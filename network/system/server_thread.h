// What the server classes share (the report server, the worker thread): a
// status with its requested change, and threads that can be stopped only at
// one point of their loop.
//
// ThreadStatus: the status a pass works in, the requested one, the previous
// one, and the changed mark, set by every set or request and cleared only by
// clear_status_changed(), so that the owner's thread runs a status's entry
// step once. status_lock, which the owner makes with init(), guards all
// four. Any thread may call the accessors; each takes the lock itself, and a
// failed lock call is logged with the place of the accessor's call.
#ifndef NETWORK_SYSTEM_SERVER_THREAD_H_
#define NETWORK_SYSTEM_SERVER_THREAD_H_

#include <pthread.h>
#include <signal.h>

#include <cstdint>

#include "network/system/rwlock_guard.h"

class ThreadStatus {
  public:
    int32_t get_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // status := requested := s, previous := the old status, mark set.
    void set_status(int32_t s, const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // requested := s, mark set; the status itself waits for the apply step.
    void request_status(int32_t s, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());
    // With the mark set: previous := status, status := requested; the mark stays.
    void apply_requested_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    bool is_status_changed(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    void clear_status_changed(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // True once, in the pass whose apply step installed the status: clears the mark.
    bool entering_status(const char* file = __builtin_FILE(), int line = __builtin_LINE());

  protected:
    ThreadStatus() = default;
    ~ThreadStatus() = default;

    // Until it is made the accessors go without it (rwlock_guard.h).
    RwLock status_lock;

  private:
    int32_t status_ GUARDED_BY(status_lock) = 0;
    int32_t requested_status_ GUARDED_BY(status_lock) = 0;
    int32_t previous_status_ GUARDED_BY(status_lock) = 0;  // kept, though nothing reads it
    bool status_changed_ GUARDED_BY(status_lock) = false;
};

// The signals a server thread blocks from its first instruction.
sigset_t server_thread_signals();

// Creates a server thread running `routine(arg)`: pthread_create's result. An
// attribute the system refuses is reported with the caller's place, and left out.
int create_server_thread(pthread_t* thread, void* (*routine)(void*), void* arg,
                         const char* file = __builtin_FILE(), int line = __builtin_LINE());

// First thing in a server thread: cancellation off, its signals blocked.
void enter_server_thread();

// The end of a pass, and the only place a cancel can end a server thread:
// net_log_flush_due(), then a pending cancel, then `wait(context)`, the
// thread's idle wait, during which a cancel ends it too.
void cancellation_window(void (*wait)(void* context), void* context);

#endif  // NETWORK_SYSTEM_SERVER_THREAD_H_
