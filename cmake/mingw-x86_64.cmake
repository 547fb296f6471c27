# Cross-build for 64-bit Windows; tests run under wine64, which needs no
# 32-bit support from the kernel. Windows is LLP64: long stays 32 bits while
# pointers grow to 64.
set(VRC_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# /usr/bin/wine would start the 32-bit loader; the 64-bit one is named directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
