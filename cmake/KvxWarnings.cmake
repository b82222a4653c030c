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
