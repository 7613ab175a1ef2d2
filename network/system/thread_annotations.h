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

// A lock class; a class whose object holds a lock for its lifetime.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// Read with the lock held, written with it held exclusive.
#define GUARDED_BY(lock) THREAD_ANNOTATION(guarded_by(lock))
// A function called with the locks held (REQUIRES), one that takes them and
// returns with them held (ACQUIRE), one that releases them, or for a scoped
// lock its own (RELEASE), and one called without them (EXCLUDES).
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#endif  // NETWORK_SYSTEM_THREAD_ANNOTATIONS_H_
