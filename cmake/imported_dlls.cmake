# Windows looks for a DLL's imports beside the program that loads it, and
# the library opens the AAC encoder's DLLs (FFmpeg's) beside itself: the
# DLLs it imports or opens from outside Windows, with theirs, are copied
# beside it in the build tree, where the tests run, and installed beside
# it, their licences in the documentation.
list(TRANSFORM CMAKE_FIND_ROOT_PATH APPEND /bin OUTPUT_VARIABLE vrc_dll_dirs)
set(vrc_copy_dlls ${CMAKE_CURRENT_LIST_DIR}/copy_imported_dlls.cmake)
string(REPLACE ";" "$<SEMICOLON>" vrc_dll_dirs_arg "${vrc_dll_dirs}")
string(REPLACE ";" "$<SEMICOLON>" vrc_opened_dlls_arg "${VRC_AAC_ENCODER_FILES}")
add_custom_command(TARGET recfile_convert POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:recfile_convert> -DDIRS=${vrc_dll_dirs_arg}
          -DOPENED=${vrc_opened_dlls_arg} -DDEST=$<TARGET_FILE_DIR:recfile_convert> -DOBJDUMP=${CMAKE_OBJDUMP} -P ${vrc_copy_dlls}
  VERBATIM)
install(CODE "
  set(DLL \"$<TARGET_FILE:recfile_convert>\")
  set(DIRS \"${vrc_dll_dirs}\")
  set(OPENED \"${VRC_AAC_ENCODER_FILES}\")
  set(DEST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(DOC_DEST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(OBJDUMP \"${CMAKE_OBJDUMP}\")
  set(MODE INSTALL)
  include(\"${vrc_copy_dlls}\")")
