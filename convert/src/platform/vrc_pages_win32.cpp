#include <windows.h>

#include "vrc_platform.h"

void *vrc::page_alloc(size_t size)
{
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void vrc::page_free(void *block, size_t)
{
    if (block) VirtualFree(block, 0, MEM_RELEASE);
}
