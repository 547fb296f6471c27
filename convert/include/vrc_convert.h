/* One-call conversion of a legacy recording into an MP4 file. */
#ifndef VRC_CONVERT_H
#define VRC_CONVERT_H

#include "vrc_export.h"

VRC_BEGIN_DECLS

/* Converts the legacy recording at path into path + ".mp4" (at most 255
 * bytes): one H.264 video track and one 8000 Hz G.711 mu-law audio track.
 * Frames are copied until the recording ends or the muxer refuses one.
 * Returns 0 when the MP4 file was written completely, -1 otherwise. Prints
 * its progress and failures on standard output. */
VRC_API int vrc_convert_mp4(const char *path);

VRC_END_DECLS

#endif
