# Warnings are errors on our own targets; third-party headers come in as system includes.
function(kvx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
                         -Wno-missing-field-initializers)
  # gcc 12 reports out-of-bounds copies inside the standard library's vector and string code
  # at high optimisation where there are none (its bugs 100366, 105329 and kin); they stay
  # warnings there, and the sanitizer builds check every access for real.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
    target_compile_options(${target} PRIVATE -Wno-error=array-bounds -Wno-error=stringop-overread
                           -Wno-error=stringop-overflow -Wno-error=restrict)
  endif()
endfunction()

# A core module: one static library, warnings as errors, include root at src/.
function(kvx_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  add_library(kvx_${name} STATIC ${M_SOURCES})
  target_include_directories(kvx_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(kvx_${name} PUBLIC ${M_DEPS})
  kvx_warnings(kvx_${name})
endfunction()

# One file per operating system: posix_*.cpp and *_posix.cpp build everywhere but Windows,
# win_*.cpp and *_win.cpp only on Windows. Filters the list variable named by `var`.
function(kvx_os_filter var)
  set(_kept)
  foreach(_f ${${var}})
    get_filename_component(_n ${_f} NAME_WE)
    if(_n MATCHES "^posix_|_posix$")
      if(WIN32)
        continue()
      endif()
    elseif(_n MATCHES "^win_|_win$")
      if(NOT WIN32)
        continue()
      endif()
    endif()
    list(APPEND _kept ${_f})
  endforeach()
  set(${var} ${_kept} PARENT_SCOPE)
endfunction()
