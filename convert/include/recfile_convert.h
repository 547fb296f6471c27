/* Umbrella header of librecfile_convert. */
#ifndef RECFILE_CONVERT_H
#define RECFILE_CONVERT_H

#include "vrc_debug.h"
#include "vrc_mem.h"
#include "vrc_mutex.h"
#include "vrc_thread.h"
#include "vrc_time.h"
#include "vrc_date_time.h"
#include "vrc_uri_io.h"
#include "vrc_media.h"
#include "vrc_oldrecord_demuxer.h"
#include "vrc_mp4_records.h"
#include "vrc_mp4_muxer.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_reader.h"
#include "vrc_convert.h"

#endif
