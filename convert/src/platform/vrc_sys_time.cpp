#include "vrc_date_time.h"
#include "vrc_platform.h"

extern "C" VRC_API int32_t vrc_sys_time_tz_get_offset(void)
{
    const int32_t west = vrc::tz_seconds_west();
    return west < 0 ? -west : west;
}

extern "C" VRC_API int32_t vrc_sys_time_tz_is_west(void)
{
    return vrc::tz_seconds_west() > 0 ? 1 : 0;
}

extern "C" VRC_API int32_t vrc_sys_time_tz_is_daylight(void)
{
    return vrc::tz_daylight();
}
