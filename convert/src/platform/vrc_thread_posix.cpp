// Threads on POSIX. The seven Windows priority steps map in the same order
// onto nice values relative to the creating thread's (on Linux each thread
// has its own). Raising urgency needs privilege; lowering it does not. The
// new thread applies its priority itself and tells the creator whether that
// worked before the routine runs, so a refused priority never runs it.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "vrc_platform.h"

namespace {

int nice_delta_of(int platform_priority)
{
    switch (platform_priority) {
    case VRC_THREAD_PRIORITY_TIME_CRITICAL: return -20;
    case VRC_THREAD_PRIORITY_HIGHEST: return -10;
    case VRC_THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case VRC_THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case VRC_THREAD_PRIORITY_LOWEST: return 10;
    case VRC_THREAD_PRIORITY_IDLE: return 19;
    default: return 0;
    }
}

bool apply_nice_delta(int delta)
{
    if (delta == 0) return true;
#if defined(__linux__)
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, self);
    if (current == -1 && errno != 0) return false;
    int wanted = current + delta;
    if (wanted > 19) wanted = 19;
    if (wanted < -20) wanted = -20;
    return setpriority(PRIO_PROCESS, self, wanted) == 0;
#else
    return false;  // no per-thread nice here: only the normal priority is available
#endif
}

struct Start {
    vrc_thread_routine_t routine;
    void *context;
    int nice_delta;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t decided = PTHREAD_COND_INITIALIZER;
    int verdict = 0;  // 0 pending, 1 runs, -1 refused
};

void *trampoline(void *arg)
{
    auto *start = static_cast<Start *>(arg);
    const vrc_thread_routine_t routine = start->routine;
    void *const context = start->context;
    const bool ok = apply_nice_delta(start->nice_delta);
    pthread_mutex_lock(&start->lock);
    start->verdict = ok ? 1 : -1;
    pthread_cond_signal(&start->decided);
    pthread_mutex_unlock(&start->lock);
    // From here on the creator owns (and frees) start.
    if (ok) routine(context);
    return nullptr;
}

}  // namespace

int vrc::thread_start(vrc_thread_routine_t routine, void *context, int platform_priority,
                      int32_t stack_size)
{
    auto *start = new (std::nothrow) Start{routine, context, nice_delta_of(platform_priority)};
    if (!start) return -1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    bool ok = stack_size == 0 ||
              pthread_attr_setstacksize(&attr, static_cast<size_t>(stack_size)) == 0;
    pthread_t id;
    ok = ok && pthread_create(&id, &attr, trampoline, start) == 0;
    pthread_attr_destroy(&attr);
    if (ok) {
        pthread_mutex_lock(&start->lock);
        while (start->verdict == 0) pthread_cond_wait(&start->decided, &start->lock);
        ok = start->verdict > 0;
        pthread_mutex_unlock(&start->lock);
    }
    pthread_mutex_destroy(&start->lock);
    pthread_cond_destroy(&start->decided);
    delete start;
    return ok ? 0 : -1;
}
