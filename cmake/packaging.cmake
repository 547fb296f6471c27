# What `cpack` makes from a build, of what `cmake --install` puts in place:
# on Linux a Debian package, recfile-convert_VERSION_ARCH.deb (the command,
# the library with its soname link, headers, CMake package files, .pc);
# on Windows a zip, recfile-convert-VERSION-windows-ARCH.zip, which runs
# from wherever it is unpacked (the DLLs FFmpeg's AAC encoder needs lie
# beside the command, see imported_dlls.cmake), with a README.txt and the
# licences. scripts/check-packages installs and runs both.
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME recfile-convert)
set(CPACK_PACKAGE_VENDOR "The librecfile_convert authors")
set(CPACK_PACKAGE_CONTACT "The librecfile_convert authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Converts legacy recorder files into MP4 (library and command)")
set(CPACK_PACKAGE_DESCRIPTION "The recfile-convert command and the librecfile_convert library \
(C interface) turn recordings in a video recorder's legacy record file format into standard MP4 \
files (H.264 video, G.711 mu-law or AAC audio). MIT licence.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Binaries without their debugging sections: less than half the size.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR})
  # Notepad and the rest read the text files with Windows line ends.
  set(VRC_ZIP_AAC_DLLS "")
  if(VRC_HAVE_AAC_ENCODER)
    set(VRC_ZIP_AAC_DLLS "FFmpeg's avcodec and avutil DLLs beside it encode AAC (--audio aac).")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/README.txt.in ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  # Depends: from what the binaries link (dpkg-shlibdeps); and a shlibs
  # file with the ldconfig trigger for the library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # A library that opens libavcodec and libavutil on first use rather than
  # linking them (VRC_AAC_ENCODER_FILES: their sonames) recommends their
  # Debian packages, named lib<name><major>: dpkg-shlibdeps cannot see them.
  set(recommends "")
  foreach(file ${VRC_AAC_ENCODER_FILES})
    string(REGEX REPLACE "^(lib[a-z]+)\\.so\\.([0-9]+)$" "\\1\\2" package ${file})
    list(APPEND recommends ${package})
  endforeach()
  string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS "${recommends}")
  # Debian's place for the licence, in its machine-readable form: the
  # licence named (Expat is Debian's name of the MIT licence), its text
  # indented, blank lines as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE VRC_LICENSE_TEXT)
  string(STRIP "${VRC_LICENSE_TEXT}" VRC_LICENSE_TEXT)
  string(REPLACE "\n\n" "\n.\n" VRC_LICENSE_TEXT "${VRC_LICENSE_TEXT}")
  string(REPLACE "\n" "\n " VRC_LICENSE_TEXT "${VRC_LICENSE_TEXT}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
endif()
include(CPack)
