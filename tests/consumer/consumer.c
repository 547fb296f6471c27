#include <stdio.h>

#include <recfile_convert.h>

int main(void)
{
    char text[64];
    vrc_date_time_to_str(vrc_gmtime_to_date_time(1704067200, 28800, 0, 0), text, (int)sizeof text);
    puts(text);
    return vrc_mem_all_freed() == 1 ? 0 : 1;
}
