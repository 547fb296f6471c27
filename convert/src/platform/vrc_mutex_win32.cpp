// Mutexes on Windows: kernel mutex objects, re-entrant and owned by the
// locking thread.
#include <windows.h>

#include "vrc_mutex.h"

namespace {

// A zero word gets its mutex on first lock. Two threads racing here both
// create one, but only the first to publish wins; the loser closes its own.
HANDLE mutex_of(vrc_mutex_t *word)
{
    HANDLE current = InterlockedCompareExchangePointer(word, nullptr, nullptr);
    if (current) return current;
    HANDLE fresh = CreateMutexA(nullptr, FALSE, nullptr);
    if (!fresh) return nullptr;
    HANDLE previous = InterlockedCompareExchangePointer(word, fresh, nullptr);
    if (!previous) return fresh;
    CloseHandle(fresh);
    return previous;
}

// Only a plain grant counts. An abandoned mutex passes to the waiter; it is
// released again so that it stays usable, and the waiter is told -1.
int wait_result(HANDLE m, DWORD rc)
{
    if (rc == WAIT_OBJECT_0) return 0;
    if (rc == WAIT_ABANDONED) ReleaseMutex(m);
    return -1;
}

int wait_for(vrc_mutex_t *mutex, DWORD timeout_ms)
{
    HANDLE m = mutex_of(mutex);
    if (!m) return -1;
    return wait_result(m, WaitForSingleObject(m, timeout_ms));
}

}  // namespace

extern "C" VRC_API int vrc_mutex_init(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    *mutex = CreateMutexA(nullptr, FALSE, nullptr);
    return *mutex ? 0 : -1;
}

extern "C" VRC_API int vrc_mutex_destroy(vrc_mutex_t *mutex)
{
    if (!mutex || !*mutex) return -1;
    if (!CloseHandle(*mutex)) return -1;
    *mutex = nullptr;
    return 0;
}

extern "C" VRC_API int vrc_mutex_lock(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    return wait_for(mutex, INFINITE);
}

extern "C" VRC_API int vrc_mutex_trylock(vrc_mutex_t *mutex)
{
    if (!mutex) return -1;
    return wait_for(mutex, 0);
}

extern "C" VRC_API int vrc_mutex_timedlock(vrc_mutex_t *mutex, int timeout_ms)
{
    if (!mutex || timeout_ms < 0) return -1;
    return wait_for(mutex, static_cast<DWORD>(timeout_ms));
}

extern "C" VRC_API int vrc_mutex_unlock(vrc_mutex_t *mutex)
{
    if (!mutex || !*mutex) return -1;
    return ReleaseMutex(*mutex) ? 0 : -1;
}
