#include <sys/mman.h>

#include "vrc_platform.h"

void *vrc::page_alloc(size_t size)
{
    void *block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void vrc::page_free(void *block, size_t size)
{
    if (block) munmap(block, size);
}

// No swap is set aside for the reservation: only committed pages count.
void *vrc::page_reserve(size_t size)
{
    void *block = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

bool vrc::page_commit(void *block, size_t offset, size_t size)
{
    return mprotect(static_cast<char *>(block) + offset, size, PROT_READ | PROT_WRITE) == 0;
}

void vrc::page_release(void *block, size_t size) { page_free(block, size); }
