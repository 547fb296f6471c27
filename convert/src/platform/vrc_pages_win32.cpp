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

void *vrc::page_reserve(size_t size)
{
    return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
}

bool vrc::page_commit(void *block, size_t offset, size_t size)
{
    return VirtualAlloc(static_cast<char *>(block) + offset, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void vrc::page_release(void *block, size_t size) { page_free(block, size); }
