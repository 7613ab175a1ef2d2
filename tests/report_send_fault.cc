// Loaded into report_send with LD_PRELOAD by report_send_test: while the
// environment variable SENDTO_EAGAIN holds a count N, the first N calls of
// sendto return -1 with errno EAGAIN, as on a socket whose send buffer is
// full; later calls go through to the real sendto.
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<int> sendto_calls{0};
}  // namespace

extern "C" ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
                          socklen_t to_length) {
    const char* refusals = getenv("SENDTO_EAGAIN");
    if (refusals != nullptr && ++sendto_calls <= atoi(refusals)) {
        errno = EAGAIN;
        return -1;
    }
    using Real = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sendto"));
    return real(fd, data, length, flags, to, to_length);
}
