#include "vrc_thread.h"

#include "vrc_platform.h"

namespace {

// Priorities 1 (most urgent) to 100 fall into eight steps of 100/7; steps 0
// and 1 share the top level.
constexpr int kPriorityOfStep[8] = {
    VRC_THREAD_PRIORITY_TIME_CRITICAL, VRC_THREAD_PRIORITY_TIME_CRITICAL,
    VRC_THREAD_PRIORITY_HIGHEST,       VRC_THREAD_PRIORITY_ABOVE_NORMAL,
    VRC_THREAD_PRIORITY_NORMAL,        VRC_THREAD_PRIORITY_BELOW_NORMAL,
    VRC_THREAD_PRIORITY_LOWEST,        VRC_THREAD_PRIORITY_IDLE,
};

bool platform_priority_of(int32_t priority, int *out)
{
    if (priority == 0) {
        *out = VRC_THREAD_PRIORITY_NORMAL;
        return true;
    }
    if (priority < 1 || priority > 100) return false;
    *out = kPriorityOfStep[priority * 7 / 100];
    return true;
}

}  // namespace

extern "C" VRC_API int vrc_thread_create(vrc_thread_t *thread, vrc_thread_attr_t *attr,
                                         vrc_thread_routine_t routine, void *context)
{
    if (!thread || !routine) return -1;
    if (!attr) return vrc::thread_start(routine, context, VRC_THREAD_PRIORITY_NORMAL, 0);
    int platform_priority = 0;
    if (!platform_priority_of(attr->priority, &platform_priority)) return -1;
    attr->priority = platform_priority;
    if (attr->stack_size < 0) return -1;
    return vrc::thread_start(routine, context, platform_priority, attr->stack_size);
}

extern "C" VRC_API int vrc_thread_spawn(vrc_thread_t *thread, int32_t tag, int32_t priority,
                                        int32_t stack_size, vrc_thread_routine_t routine,
                                        void *context)
{
    if (!thread || !routine || tag == 0) return -1;
    vrc_thread_attr_t attr{};
    attr.tag = tag;
    attr.priority = priority;
    attr.stack_size = stack_size;
    return vrc_thread_create(thread, &attr, routine, context) == 0 ? 0 : -1;
}

extern "C" VRC_API int vrc_thread_detach(vrc_thread_t)
{
    return 0;
}
