/* Memory wrappers: plain pass-through to the C allocator, so blocks from
 * either side may be released by the other. */
#ifndef VRC_MEM_H
#define VRC_MEM_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

VRC_API void vrc_mem_global_init(void);
VRC_API void vrc_mem_global_free(void);
VRC_API void *vrc_malloc(uint32_t size);
VRC_API void *vrc_calloc(uint32_t count, uint32_t size);
VRC_API void vrc_free(void *block);
VRC_API char *vrc_strdup(const char *text);
VRC_API void vrc_mem_debug(void);
/* No allocation is counted: always 1. */
VRC_API int vrc_mem_all_freed(void);

VRC_END_DECLS

#endif
