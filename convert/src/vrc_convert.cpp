#include "vrc_convert.h"
