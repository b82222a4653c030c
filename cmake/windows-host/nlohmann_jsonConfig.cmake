# nlohmann-json for the Windows cross build (header-only, from Debian; see HostHeaders.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
kvx_host_headers(nlohmann_json::nlohmann_json nlohmann)
set(nlohmann_json_FOUND TRUE)
