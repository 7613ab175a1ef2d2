// Fault injection for the end-to-end tests, preloaded into the daemon or
// report_send with LD_PRELOAD. Each variable names which call of a function
// fails (counted from 1 in the process that makes it); unset means none:
//
//   FAULT_RWLOCK_INIT=N     the Nth pthread_rwlock_init returns EAGAIN
//   FAULT_RWLOCK_WRLOCK=N   the Nth pthread_rwlock_wrlock returns EDEADLK
//   FAULT_PTHREAD_CREATE=N  the Nth pthread_create returns EAGAIN
//   FAULT_RECV=N            the Nth recvmmsg fails with EIO
//   FAULT_SENDTO=N          the Nth sendto fails with EPERM
//   FAULT_SENDTO_EAGAIN=N   the first N sendto calls fail with EAGAIN
//   FAULT_RESOLVER=N        the Nth gethostbyname_r finds no answer for now
//   FAULT_SOCKET=N          the Nth socket fails with EMFILE
//   FAULT_FREOPEN=N         the Nth freopen fails with EMFILE
//   FAULT_PTHREAD_JOIN=N    the Nth pthread_join joins, then returns ESRCH
//                           (TRY_AGAIN), as when no name server answers
//
// These are the failures that cannot be caused from outside: a lock or a
// thread the system refuses, a socket that breaks, a full send buffer, a
// name server out of reach (the tests have none).
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Counts a call for `variable` and tells whether `variable` makes it fail:
// the Nth call, or with `first`, each of the first N calls.
bool fails(const char* variable, bool first = false) {
    static std::atomic<int> calls[10];
    static const char* const kVariables[] = {
        "FAULT_RWLOCK_INIT", "FAULT_RWLOCK_WRLOCK", "FAULT_PTHREAD_CREATE", "FAULT_RECV",
        "FAULT_SENDTO",      "FAULT_SENDTO_EAGAIN", "FAULT_RESOLVER",       "FAULT_SOCKET",
        "FAULT_FREOPEN",     "FAULT_PTHREAD_JOIN"};
    int index = 0;
    while (strcmp(kVariables[index], variable) != 0)
        ++index;
    const int call = ++calls[index];
    const char* chosen = getenv(variable);
    return chosen != nullptr && (first ? call <= atoi(chosen) : call == atoi(chosen));
}

// The real function of that name, further along the link order.
#define REAL(name) reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

}  // namespace

extern "C" {

int pthread_rwlock_init(pthread_rwlock_t* lock, const pthread_rwlockattr_t* attributes) {
    return fails("FAULT_RWLOCK_INIT") ? EAGAIN : REAL(pthread_rwlock_init)(lock, attributes);
}

int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    return fails("FAULT_RWLOCK_WRLOCK") ? EDEADLK : REAL(pthread_rwlock_wrlock)(lock);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) {
    return fails("FAULT_PTHREAD_CREATE")
               ? EAGAIN
               : REAL(pthread_create)(thread, attributes, routine, argument);
}

int socket(int domain, int type, int protocol) {
    return fails("FAULT_SOCKET") ? (errno = EMFILE, -1) : REAL(socket)(domain, type, protocol);
}

FILE* freopen(const char* path, const char* mode, FILE* stream) {
    return fails("FAULT_FREOPEN") ? (errno = EMFILE, nullptr) : REAL(freopen)(path, mode, stream);
}

int pthread_join(pthread_t thread, void** result) {
    const int joined = REAL(pthread_join)(thread, result);
    return fails("FAULT_PTHREAD_JOIN") ? ESRCH : joined;
}

int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
    return fails("FAULT_RECV") ? (errno = EIO, -1)
                               : REAL(recvmmsg)(fd, messages, count, flags, timeout);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t to_length) {
    if (fails("FAULT_SENDTO_EAGAIN", true))
        return errno = EAGAIN, -1;
    if (fails("FAULT_SENDTO"))
        return errno = EPERM, -1;
    return REAL(sendto)(fd, data, length, flags, to, to_length);
}

int gethostbyname_r(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                    int* resolver_error) {
    if (!fails("FAULT_RESOLVER"))
        return REAL(gethostbyname_r)(name, entry, buffer, size, result, resolver_error);
    *result = nullptr;
    *resolver_error = TRY_AGAIN;
    return EAGAIN;
}

}  // extern "C"
