# The AAC encoder behind VRC_CONVERT_AUDIO_AAC: FFmpeg's libavcodec, found
# by pkg-config and linked dynamically (a shared libavcodec stays
# replaceable). A cross build looks only where it is pointed:
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

# Adds the encoder, or its refusals, to target.
function(vrc_add_aac_encoder target)
  if(VRC_AAC_ENCODER)
    find_package(PkgConfig QUIET)
  endif()
  if(VRC_AAC_ENCODER AND PKG_CONFIG_FOUND)
    vrc_cross_pkg_config_libdir()
    pkg_check_modules(VRC_AVCODEC QUIET IMPORTED_TARGET libavcodec libavutil)
  endif()
  if(VRC_AVCODEC_FOUND)
    message(STATUS "AAC encoder: libavcodec ${VRC_AVCODEC_libavcodec_VERSION}")
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/convert/src/codecs/vrc_aac_encoder.cpp)
    target_link_libraries(${target} PRIVATE PkgConfig::VRC_AVCODEC)
  else()
    message(STATUS "AAC encoder: none (libavcodec and libavutil not found by pkg-config, or VRC_AAC_ENCODER off)")
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/convert/src/codecs/vrc_aac_encoder_none.cpp)
  endif()
  # The tests expect AAC output or the refusal by this.
  set(VRC_HAVE_AAC_ENCODER ${VRC_AVCODEC_FOUND} CACHE INTERNAL "")
endfunction()
