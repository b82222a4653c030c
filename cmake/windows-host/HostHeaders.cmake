# A header-only library of the build machine offered to a cross build: its one folder under
# /usr/include is linked into <build>/host-headers, which becomes the target's include root.
# Taking /usr/include itself would put glibc's headers ahead of MinGW's.
function(kvx_host_headers target folder)
  if(TARGET ${target})
    return()
  endif()
  set(_root ${CMAKE_BINARY_DIR}/host-headers)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run bash scripts/setup")
  endif()
  if(NOT EXISTS ${_root}/${folder})
    file(MAKE_DIRECTORY ${_root})
    file(CREATE_LINK /usr/include/${folder} ${_root}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_root})
endfunction()
