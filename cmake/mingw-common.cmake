# Shared by the MinGW-w64 toolchain files, which set VRC_MINGW_PROCESSOR
# (i686 or x86_64) first: Debian's cross compilers with the posix thread
# model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VRC_MINGW_PROCESSOR})
set(triple ${VRC_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_OBJDUMP ${triple}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Hosts get a DLL that needs no MinGW runtime DLLs beside it.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
# pkg-config reads Windows libraries only, never the build machine's: those
# of FFmpeg cross-built for this target (scripts/build-ffmpeg-mingw), when
# VRC_FFMPEG_PREFIX names it; find_library may then look there too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VRC_FFMPEG_PREFIX)
unset(ENV{PKG_CONFIG_PATH})
if(VRC_FFMPEG_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VRC_FFMPEG_PREFIX})
  set(ENV{PKG_CONFIG_LIBDIR} ${VRC_FFMPEG_PREFIX}/lib/pkgconfig)
else()
  set(ENV{PKG_CONFIG_LIBDIR} /usr/${triple}/lib/pkgconfig)
endif()
