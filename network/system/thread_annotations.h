// Lock annotations for clang's thread safety analysis (-Wthread-safety):
// which lock guards which field, which function needs which lock held. The
// analysis then fails the build where a guarded field is touched without its
// lock. Other compilers see nothing.
#ifndef NETWORK_SYSTEM_THREAD_ANNOTATIONS_H_
#define NETWORK_SYSTEM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A class that is a lock.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
// A class whose object holds a lock for its own lifetime.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// A field read only with `lock` held (shared or exclusive), written only with it held exclusive.
#define GUARDED_BY(lock) THREAD_ANNOTATION(guarded_by(lock))
// A function called only with the locks held (exclusive, or at least shared).
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// A function that takes the locks (exclusive or shared) and returns with them held.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// A function that releases the locks it names, or for a scoped lock, its own.
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that must be called without the locks held.
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#endif  // NETWORK_SYSTEM_THREAD_ANNOTATIONS_H_
