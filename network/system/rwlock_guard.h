// RwLockGuard: holds a reader-writer lock for one scope, and makes a failed
// lock call visible instead of fatal.
//
// A failed lock call writes "exclusive lock: failed at FILE(LINE)" or
// "shared lock: failed at FILE(LINE)" with the place of the lock call, and
// the caller goes on without the lock: its few field accesses (or its one
// log line) are worth more than the exclusion they lose. Such a call fails
// only on misuse (an uninitialised lock, or one this thread already holds
// exclusively), so going on is the lesser harm. A lock that was not taken is
// never unlocked: unlocking it would release a hold of another thread.
//
// The try mode takes the lock only if it is free at once; busy() tells that
// another thread holds it (not a failure, and not reported).
//
// Use the macros, which pass the place of the call.
#ifndef NETWORK_SYSTEM_RWLOCK_GUARD_H_
#define NETWORK_SYSTEM_RWLOCK_GUARD_H_

#include <errno.h>
#include <pthread.h>

#include "network/system/net_logging.h"

class RwLockGuard {
  public:
    enum Mode { kShared, kExclusive, kTryExclusive };

    // A null `lock` (one that was never created) is not taken and not
    // reported: the caller goes on as with a failed call.
    RwLockGuard(pthread_rwlock_t* lock, Mode mode, const char* file, int line) : lock_(lock) {
        if (lock == nullptr) {
            held_ = busy_ = false;
            return;
        }
        const int result = mode == kExclusive      ? pthread_rwlock_wrlock(lock)
                           : mode == kTryExclusive ? pthread_rwlock_trywrlock(lock)
                                                   : pthread_rwlock_rdlock(lock);
        held_ = result == 0;
        busy_ = mode == kTryExclusive && result == EBUSY;
        if (!held_ && !busy_) {
            net_log(mode == kShared ? "shared lock: failed at %s(%d)"
                                    : "exclusive lock: failed at %s(%d)",
                    file, line);
        }
    }
    ~RwLockGuard() {
        if (held_)
            pthread_rwlock_unlock(lock_);
    }
    RwLockGuard(const RwLockGuard&) = delete;
    RwLockGuard& operator=(const RwLockGuard&) = delete;

    bool held() const { return held_; }
    bool busy() const { return busy_; }

  private:
    pthread_rwlock_t* lock_;
    bool held_;
    bool busy_;
};

#define RW_LOCK_EXCLUSIVE(guard, lock) \
    RwLockGuard guard((lock), RwLockGuard::kExclusive, __FILE__, __LINE__)
#define RW_TRY_EXCLUSIVE(guard, lock) \
    RwLockGuard guard((lock), RwLockGuard::kTryExclusive, __FILE__, __LINE__)
#define RW_LOCK_SHARED(guard, lock) \
    RwLockGuard guard((lock), RwLockGuard::kShared, __FILE__, __LINE__)

#endif  // NETWORK_SYSTEM_RWLOCK_GUARD_H_
