# The Windows build's stand-ins for what Linux takes from Debian's packages:
# spdlog and fmt header-only, nlohmann-json, all from the dependency cache
# (scripts/windows/deps.sh copies their headers into <prefix>/include).
find_path(TOVRIN_WINDOWS_INCLUDE spdlog/spdlog.h REQUIRED)

add_library(fmt::fmt INTERFACE IMPORTED)
set_target_properties(fmt::fmt PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${TOVRIN_WINDOWS_INCLUDE}
  INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)

add_library(spdlog::spdlog INTERFACE IMPORTED)
set_target_properties(spdlog::spdlog PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${TOVRIN_WINDOWS_INCLUDE}
  INTERFACE_COMPILE_DEFINITIONS SPDLOG_HEADER_ONLY
  INTERFACE_LINK_LIBRARIES fmt::fmt)

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${TOVRIN_WINDOWS_INCLUDE})
