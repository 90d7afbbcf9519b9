# RapidJSON for a cross build: the build host's header-only copy, reached through a folder of the
# build tree that holds nothing else, so that no other host header comes into view.

find_path(MCP_BRIDGE_HOST_RAPIDJSON_DIR rapidjson/rapidjson.h
  PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MCP_BRIDGE_HOST_RAPIDJSON_DIR)
  message(FATAL_ERROR "RapidJSON headers not found on the build host (Debian: rapidjson-dev)")
endif()

set(_rapidjson_view ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_rapidjson_view})
file(CREATE_LINK ${MCP_BRIDGE_HOST_RAPIDJSON_DIR}/rapidjson ${_rapidjson_view}/rapidjson
  SYMBOLIC COPY_ON_ERROR)
set(RAPIDJSON_INCLUDE_DIRS ${_rapidjson_view})
