#ifndef VRC_OLDRECORD_DEMUXER_H
#define VRC_OLDRECORD_DEMUXER_H

#include "vrc_export.h"

#endif
