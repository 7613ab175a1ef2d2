// RwLock: a reader-writer lock. RwLockGuard: holds one for a scope, and
// makes a failed lock call visible instead of fatal: it writes "exclusive
// lock: failed at FILE(LINE)" or "shared lock: failed at FILE(LINE)" with the
// guard's place, and the caller goes on without the lock (rwlock_guard.cc
// says why). A lock is made by its owner with init(), which can fail; its
// guards skip a lock that was never made. Any thread may use either class; a
// guard belongs to the thread that made it.
#ifndef NETWORK_SYSTEM_RWLOCK_GUARD_H_
#define NETWORK_SYSTEM_RWLOCK_GUARD_H_

#include <pthread.h>

#include "network/system/thread_annotations.h"

class CAPABILITY("rwlock") RwLock {
  public:
    RwLock() = default;
    // Logs "pthread_mutex_destroy: failed" when the system refuses.
    ~RwLock();
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // Makes the lock: true, or false after an errno report with the
    // caller's place.
    bool init(const char* file = __builtin_FILE(), int line = __builtin_LINE());
    bool ready() const { return ready_; }

  private:
    friend class RwLockGuard;
    pthread_rwlock_t lock_;
    bool ready_ = false;
};

class SCOPED_CAPABILITY RwLockGuard {
  public:
    struct Shared {};
    struct Exclusive {};
    // Takes the lock only if it is free at once; busy() then tells that
    // another thread holds it (not a failure). The analysis counts the lock
    // as held either way: code that finds it busy must do nothing that
    // needs it.
    struct TryExclusive {};
    static constexpr Shared kShared{};
    static constexpr Exclusive kExclusive{};
    static constexpr TryExclusive kTryExclusive{};

    RwLockGuard(RwLock& lock, Shared, const char* file = __builtin_FILE(),
                int line = __builtin_LINE()) ACQUIRE_SHARED(lock);
    RwLockGuard(RwLock& lock, Exclusive, const char* file = __builtin_FILE(),
                int line = __builtin_LINE()) ACQUIRE(lock);
    RwLockGuard(RwLock& lock, TryExclusive, const char* file = __builtin_FILE(),
                int line = __builtin_LINE()) ACQUIRE(lock);
    ~RwLockGuard() RELEASE();
    RwLockGuard(const RwLockGuard&) = delete;
    RwLockGuard& operator=(const RwLockGuard&) = delete;

    bool busy() const { return busy_; }

  private:
    enum Mode { kRead, kWrite, kTryWrite };
    void take(Mode mode, const char* file, int line);

    RwLock& lock_;
    bool held_ = false;
    bool busy_ = false;
};

#endif  // NETWORK_SYSTEM_RWLOCK_GUARD_H_
