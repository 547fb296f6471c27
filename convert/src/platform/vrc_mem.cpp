#include "vrc_mem.h"

#include <cstdlib>
#include <cstring>

extern "C" VRC_API void vrc_mem_global_init(void) {}

extern "C" VRC_API void vrc_mem_global_free(void) {}

extern "C" VRC_API void *vrc_malloc(uint32_t size)
{
    return std::malloc(size);
}

extern "C" VRC_API void *vrc_calloc(uint32_t count, uint32_t size)
{
    return std::calloc(count, size);
}

extern "C" VRC_API void vrc_free(void *block)
{
    std::free(block);
}

extern "C" VRC_API char *vrc_strdup(const char *text)
{
    if (!text) return nullptr;
    const size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

extern "C" VRC_API void vrc_mem_debug(void) {}

extern "C" VRC_API int vrc_mem_all_freed(void)
{
    return 1;
}
