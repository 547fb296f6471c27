# Cross-build for 32-bit Windows, the DLL hosts load; tests run under Wine
# where the kernel can run 32-bit programs.
set(VRC_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
