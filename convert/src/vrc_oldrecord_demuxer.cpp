#include "vrc_oldrecord_demuxer.h"
