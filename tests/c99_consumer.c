/* Compiled as strict C99: the public headers must be plain C. */
#include <stdio.h>
#include <string.h>

#include "recfile_convert.h"

int main(void)
{
    char text[64];
    vrc_date_time_t d = vrc_date_time_pack(2024, 3, 5, 6, 7, 8, 28800, 0, 0);
    vrc_date_time_to_str(d, text, (int)sizeof text);
    if (strcmp(text, "2024-03-05 06:07:08 tz:28800, dst:0") != 0) {
        printf("unexpected: %s\n", text);
        return 1;
    }
    if (VRC_URI_IO_FILE_BUFSIZE != 4096 || vrc_mem_all_freed() != 1) return 1;
    return 0;
}
