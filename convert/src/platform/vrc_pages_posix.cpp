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
