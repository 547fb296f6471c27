# The AAC encoder behind VRC_CONVERT_AUDIO_AAC, and the AAC decoder that
# tells a repair's sound frames apart: FFmpeg's libavcodec, found by
# pkg-config. The library is compiled against its headers but not linked
# with it: it opens libavcodec and libavutil, of the major versions found
# here, when AAC is first asked for, so that it loads, and converts mu-law,
# where they are missing (and a shared libavcodec stays replaceable). A
# cross build looks only where it is pointed:
# PKG_CONFIG_LIBDIR (with PKG_CONFIG_SYSROOT_DIR), or else the pkgconfig
# directories under CMAKE_PREFIX_PATH and CMAKE_FIND_ROOT_PATH, never the
# build machine's own libraries. Without libavcodec the library builds
# without AAC output (VRC_AAC_ENCODER=OFF chooses that): the request then
# fails as unsupported.
option(VRC_AAC_ENCODER "Encode AAC audio with libavcodec when pkg-config finds it" ON)

function(vrc_cross_pkg_config_libdir)
  if(NOT CMAKE_CROSSCOMPILING OR DEFINED ENV{PKG_CONFIG_LIBDIR})
    return()
  endif()
  set(dirs "")
  foreach(prefix ${CMAKE_PREFIX_PATH} ${CMAKE_FIND_ROOT_PATH})
    list(APPEND dirs ${prefix}/lib/pkgconfig ${prefix}/share/pkgconfig)
  endforeach()
  string(REPLACE ";" ":" dirs "${dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${dirs}")
endfunction()

# The file that FFmpeg's library name (avcodec, avutil) of pkg-config's
# version goes by where the library opens it: its Windows DLL, or its
# soname.
function(vrc_ffmpeg_library_file out name version)
  string(REGEX MATCH "^[0-9]+" major "${version}")
  if(WIN32)
    set(${out} ${name}-${major}.dll PARENT_SCOPE)
  else()
    set(${out} lib${name}.so.${major} PARENT_SCOPE)
  endif()
endfunction()

# Adds the encoder, or its refusals, to target.
function(vrc_add_aac_encoder target)
  if(VRC_AAC_ENCODER)
    find_package(PkgConfig QUIET)
  endif()
  if(VRC_AAC_ENCODER AND PKG_CONFIG_FOUND)
    vrc_cross_pkg_config_libdir()
    pkg_check_modules(VRC_AVCODEC QUIET libavcodec libavutil)
  endif()
  if(VRC_AVCODEC_FOUND)
    vrc_ffmpeg_library_file(avcodec_file avcodec ${VRC_AVCODEC_libavcodec_VERSION})
    vrc_ffmpeg_library_file(avutil_file avutil ${VRC_AVCODEC_libavutil_VERSION})
    message(STATUS "AAC encoder: libavcodec ${VRC_AVCODEC_libavcodec_VERSION}, opened as ${avcodec_file} on first use")
    if(WIN32)
      set(platform win32)
    else()
      set(platform posix)
      target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
    endif()
    set(codecs ${PROJECT_SOURCE_DIR}/convert/src/codecs)
    target_sources(${target} PRIVATE ${codecs}/vrc_libavcodec.cpp ${codecs}/vrc_aac_encoder.cpp
      ${codecs}/vrc_aac_frame_bounds.cpp ${codecs}/vrc_dynamic_library_${platform}.cpp)
    target_include_directories(${target} SYSTEM PRIVATE ${VRC_AVCODEC_INCLUDE_DIRS})
    target_compile_options(${target} PRIVATE ${VRC_AVCODEC_CFLAGS_OTHER})
    target_compile_definitions(${target} PRIVATE VRC_AVCODEC_FILE="${avcodec_file}" VRC_AVUTIL_FILE="${avutil_file}")
  else()
    message(STATUS "AAC encoder: none (libavcodec and libavutil not found by pkg-config, or VRC_AAC_ENCODER off)")
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/convert/src/codecs/vrc_aac_encoder_none.cpp)
  endif()
  # The tests expect AAC output or the refusal by this; a Windows build
  # copies the DLLs it opens beside its own.
  set(VRC_HAVE_AAC_ENCODER ${VRC_AVCODEC_FOUND} CACHE INTERNAL "")
  set(VRC_AAC_ENCODER_FILES ${avcodec_file} ${avutil_file} CACHE INTERNAL "")
endfunction()
