#ifndef VRC_MP4_MUXER_H
#define VRC_MP4_MUXER_H

#include "vrc_export.h"

#endif
