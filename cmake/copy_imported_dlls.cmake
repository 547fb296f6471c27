# Copies the DLLs that DLL imports, and those named in OPENED, which it
# opens while it runs, with what they import, directly or through each
# other, from the folders DIRS (the bin/ of each root that libraries are
# found in) into DEST. Windows' own DLLs are in none of them and stay where
# they are. With MODE=INSTALL the copies are installed, and the licences
# under share/doc/ of each copied DLL's prefix go to DOC_DEST.
#   cmake -DDLL=... -DDIRS=... [-DOPENED=...] -DDEST=... -DOBJDUMP=... [-DMODE=INSTALL -DDOC_DEST=...] -P copy_imported_dlls.cmake
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${OBJDUMP})

# The first folder of DIRS that holds the file name; empty if none does.
function(vrc_dll_dir out name)
  foreach(dir ${DIRS})
    if(EXISTS ${dir}/${name})
      set(${out} ${dir} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

set(opened "")
foreach(name ${OPENED})
  vrc_dll_dir(dir ${name})
  if(NOT dir)
    message(FATAL_ERROR "${name}, which the library opens, is in none of ${DIRS}")
  endif()
  list(APPEND opened ${dir}/${name})
endforeach()
file(GET_RUNTIME_DEPENDENCIES LIBRARIES ${DLL} ${opened} DIRECTORIES ${DIRS}
  RESOLVED_DEPENDENCIES_VAR resolved UNRESOLVED_DEPENDENCIES_VAR windows_own)
# Names resolve to the copies beside DLL first; each is taken from its folder
# in DIRS again, which may hold a newer build.
set(sources "")
set(docs "")
foreach(dll ${resolved} ${opened})
  get_filename_component(name ${dll} NAME)
  vrc_dll_dir(dir ${name})
  if(dir)
    list(APPEND sources ${dir}/${name})
    list(APPEND docs ${dir}/../share/doc)
  endif()
endforeach()
list(REMOVE_DUPLICATES sources)
if(NOT sources)
  return()
endif()
if(NOT MODE)
  set(MODE COPY)
endif()
file(${MODE} ${sources} DESTINATION ${DEST})
if(MODE STREQUAL "INSTALL")
  list(REMOVE_DUPLICATES docs)
  foreach(doc ${docs})
    if(IS_DIRECTORY ${doc})
      file(INSTALL ${doc}/ DESTINATION ${DOC_DEST})
    endif()
  endforeach()
endif()
