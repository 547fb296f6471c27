// Threads on Windows: created suspended, given their priority, then resumed,
// so the routine's first instruction already runs at that priority.
#include <windows.h>

#include "vrc_platform.h"

int vrc::thread_start(vrc_thread_routine_t routine, void *context, int platform_priority,
                      int32_t stack_size)
{
    HANDLE thread = CreateThread(nullptr, static_cast<SIZE_T>(stack_size),
                                 reinterpret_cast<LPTHREAD_START_ROUTINE>(routine), context,
                                 CREATE_SUSPENDED, nullptr);
    if (!thread) return -1;
    if (!SetThreadPriority(thread, platform_priority)) {
        // The routine must not run: end the suspended thread before it starts.
        TerminateThread(thread, 0);
        CloseHandle(thread);
        return -1;
    }
    const bool resumed = ResumeThread(thread) != static_cast<DWORD>(-1);
    if (!resumed) TerminateThread(thread, 0);
    // The thread runs detached: nothing keeps its handle.
    CloseHandle(thread);
    return resumed ? 0 : -1;
}
