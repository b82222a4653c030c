# CLI11 for the Windows cross build: the header-only library Debian installs, seen through a
# folder of its own so that the rest of the host's /usr/include stays out of the build.
include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
kvx_host_headers(CLI11::CLI11 CLI)
set(CLI11_FOUND TRUE)
