#ifndef VRC_CONVERT_H
#define VRC_CONVERT_H

#include "vrc_export.h"

#endif
