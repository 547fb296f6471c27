// Mutexes on POSIX: a heap-held recursive, robust pthread mutex, so that the
// owner may lock again, an unlock by another thread fails, and a mutex whose
// owner died is reported like an abandoned Windows mutex.
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "vrc_mutex.h"

namespace {

pthread_mutex_t *create_mutex()
{
    auto *m = static_cast<pthread_mutex_t *>(std::malloc(sizeof(pthread_mutex_t)));
    if (!m) return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        std::free(m);
        return nullptr;
    }
    return m;
}

void release_mutex(pthread_mutex_t *m)
{
    pthread_mutex_destroy(m);
    std::free(m);
}

// A zero word gets its mutex on first lock. Two threads racing here both
// create one, but only the first to publish wins; the loser drops its own.
pthread_mutex_t *mutex_of(vrc_mutex_t *word)
{
    auto *current = static_cast<pthread_mutex_t *>(__atomic_load_n(word, __ATOMIC_ACQUIRE));
    if (current) return current;
    pthread_mutex_t *fresh = create_mutex();
    if (!fresh) return nullptr;
    void *expected = nullptr;
    if (__atomic_compare_exchange_n(word, &expected, static_cast<void *>(fresh), false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return fresh;
    release_mutex(fresh);
    return static_cast<pthread_mutex_t *>(expected);
}

// Only a plain grant counts. An abandoned mutex is repaired and released so
// that it stays usable, and the waiter is told -1.
int wait_result(pthread_mutex_t *m, int rc)
{
    if (rc == 0) return 0;
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        pthread_mutex_unlock(m);
    }
    return -1;
}

timespec deadline_after(int timeout_ms)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeout_ms / 1000;
    ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

extern "C" VRC_API int vrc_mutex_init(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    *mutex = create_mutex();
    return *mutex ? 0 : -1;
}

extern "C" VRC_API int vrc_mutex_destroy(vrc_mutex_t *mutex)
{
    if (!mutex || !*mutex) return -1;
    auto *m = static_cast<pthread_mutex_t *>(*mutex);
    if (pthread_mutex_destroy(m) != 0) return -1;
    std::free(m);
    *mutex = nullptr;
    return 0;
}

extern "C" VRC_API int vrc_mutex_lock(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    pthread_mutex_t *m = mutex_of(mutex);
    if (!m) return -1;
    return wait_result(m, pthread_mutex_lock(m));
}

extern "C" VRC_API int vrc_mutex_trylock(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    pthread_mutex_t *m = mutex_of(mutex);
    if (!m) return -1;
    return wait_result(m, pthread_mutex_trylock(m));
}

extern "C" VRC_API int vrc_mutex_timedlock(vrc_mutex_t *mutex, int timeout_ms)
{
    if (!mutex || timeout_ms < 0) return -1;
    if (timeout_ms == 0) return vrc_mutex_trylock(mutex);
    pthread_mutex_t *m = mutex_of(mutex);
    if (!m) return -1;
    const timespec deadline = deadline_after(timeout_ms);
    return wait_result(m, pthread_mutex_timedlock(m, &deadline));
}

extern "C" VRC_API int vrc_mutex_unlock(vrc_mutex_t *mutex)
{
    // Read as the first lock publishes it: another thread may be doing so now.
    void *m = mutex ? __atomic_load_n(mutex, __ATOMIC_ACQUIRE) : nullptr;
    if (!m) return -1;
    return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)) == 0 ? 0 : -1;
}
