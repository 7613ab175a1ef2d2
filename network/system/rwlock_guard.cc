#include "network/system/rwlock_guard.h"

#include <cerrno>

#include "network/system/net_logging.h"

// The writer-preferring kind is what the server classes ask for; glibc
// treats it like its default, reader-preferring kind. With no recursive
// readers and locks held for a few instructions the difference never shows.
bool RwLock::init(const char* file, int line) {
    pthread_rwlockattr_t kind;
    int result = pthread_rwlockattr_init(&kind);
    if (result == 0) {
        pthread_rwlockattr_setkind_np(&kind, PTHREAD_RWLOCK_PREFER_WRITER_NP);
        result = pthread_rwlock_init(&lock_, &kind);
        pthread_rwlockattr_destroy(&kind);
    }
    if (result != 0) {
        errno = result;
        net_log_errno(file, line);
    }
    ready_ = result == 0;
    return ready_;
}

RwLock::~RwLock() {
    if (ready_ && pthread_rwlock_destroy(&lock_) != 0)
        net_log("pthread_mutex_destroy: failed");
}

RwLockGuard::RwLockGuard(RwLock& lock, Shared, const char* file, int line) : lock_(lock) {
    take(kRead, file, line);
}

RwLockGuard::RwLockGuard(RwLock& lock, Exclusive, const char* file, int line) : lock_(lock) {
    take(kWrite, file, line);
}

RwLockGuard::RwLockGuard(RwLock& lock, TryExclusive, const char* file, int line) : lock_(lock) {
    take(kTryWrite, file, line);
}

// A lock call fails only on misuse (a lock this thread already holds
// exclusively, or one in a bad state), and then the caller's few field
// accesses, or its log line, are worth more than the exclusion they lose:
// the failure is logged and the caller goes on. A lock that was not taken is
// never unlocked, since that would release another thread's hold.
void RwLockGuard::take(Mode mode, const char* file, int line) {
    // Silently: an object whose construction failed half-way can still be
    // read and destroyed.
    if (!lock_.ready_)
        return;
    const int result = mode == kWrite      ? pthread_rwlock_wrlock(&lock_.lock_)
                       : mode == kTryWrite ? pthread_rwlock_trywrlock(&lock_.lock_)
                                           : pthread_rwlock_rdlock(&lock_.lock_);
    held_ = result == 0;
    busy_ = mode == kTryWrite && result == EBUSY;
    if (!held_ && !busy_) {
        net_log(
            mode == kRead ? "shared lock: failed at %s(%d)" : "exclusive lock: failed at %s(%d)",
            file, line);
    }
}

RwLockGuard::~RwLockGuard() {
    if (held_)
        pthread_rwlock_unlock(&lock_.lock_);
}
