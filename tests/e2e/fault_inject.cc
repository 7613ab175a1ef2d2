// Fault injection for the end-to-end tests, loaded into the daemon with
// LD_PRELOAD. Each variable names which call of a function fails (counted
// from 1 in the process that makes it); unset means none fails:
//
//   FAULT_RWLOCK_INIT=N     the Nth pthread_rwlock_init returns EAGAIN
//   FAULT_RWLOCK_WRLOCK=N   the Nth pthread_rwlock_wrlock returns EDEADLK
//   FAULT_PTHREAD_CREATE=N  the Nth pthread_create returns EAGAIN
//   FAULT_RECV=N            the Nth recv returns -1 with errno EIO
//
// These are the failures the daemon cannot be driven into from outside: a
// lock or a thread the system refuses, a socket that breaks.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>

namespace {

// Whether this call of the function counted by `calls` is the one `variable`
// names.
bool fails_now(const char* variable, std::atomic<int>& calls) {
    const char* chosen = getenv(variable);
    const int call = ++calls;
    return chosen != nullptr && atoi(chosen) == call;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::atomic<int> rwlock_init_calls{0};
std::atomic<int> wrlock_calls{0};
std::atomic<int> create_calls{0};
std::atomic<int> recv_calls{0};

}  // namespace

extern "C" {

int pthread_rwlock_init(pthread_rwlock_t* lock, const pthread_rwlockattr_t* attributes) {
    if (fails_now("FAULT_RWLOCK_INIT", rwlock_init_calls)) return EAGAIN;
    static auto real = next<int (*)(pthread_rwlock_t*, const pthread_rwlockattr_t*)>(
        "pthread_rwlock_init");
    return real(lock, attributes);
}

int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    if (fails_now("FAULT_RWLOCK_WRLOCK", wrlock_calls)) return EDEADLK;
    static auto real = next<int (*)(pthread_rwlock_t*)>("pthread_rwlock_wrlock");
    return real(lock);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) {
    if (fails_now("FAULT_PTHREAD_CREATE", create_calls)) return EAGAIN;
    static auto real =
        next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    return real(thread, attributes, routine, argument);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    if (fails_now("FAULT_RECV", recv_calls)) {
        errno = EIO;
        return -1;
    }
    static auto real = next<ssize_t (*)(int, void*, size_t, int)>("recv");
    return real(fd, buffer, length, flags);
}

}  // extern "C"
