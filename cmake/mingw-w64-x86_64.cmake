# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model, so std::thread,
# std::mutex and std::condition_variable work). Every program is linked with static libgcc,
# libstdc++ and winpthread: a .exe needs nothing beside it but Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kvx_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_kvx_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kvx_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_kvx_triple}-windres)
set(CMAKE_AR ${_kvx_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_kvx_triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_kvx_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes winpthread's archive too (libstdc++ of the posix model depends on it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The Windows 10 API; code names the A or W form of each call itself (no UNICODE switch).
# WIN32_LEAN_AND_MEAN keeps winsock and the rest of windows.h out of every unit.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -DWIN32_LEAN_AND_MEAN -DNOMINMAX")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -DWIN32_LEAN_AND_MEAN -DNOMINMAX")

# The header-only libraries (CLI11, nlohmann-json) come from the build machine's Debian
# packages, without the rest of its /usr/include.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/windows-host CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/windows-host CACHE PATH "")
