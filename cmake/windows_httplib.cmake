# cpp-httplib on Windows, for -DMCP_BRIDGE_HTTP_BACKEND=httplib: a full build of the library, such
# as vcpkg's (package "cpp-httplib"), over Winsock. It is offered under the target name that the
# rest of the build links, PkgConfig::HTTPLIB.

add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
find_package(httplib CONFIG QUIET)
if(TARGET httplib::httplib)
  target_link_libraries(PkgConfig::HTTPLIB INTERFACE httplib::httplib)
else()
  find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
  target_include_directories(PkgConfig::HTTPLIB SYSTEM INTERFACE ${HTTPLIB_INCLUDE_DIR})
endif()
# Recent releases of the library need the Windows 10 API level.
target_compile_definitions(PkgConfig::HTTPLIB INTERFACE _WIN32_WINNT=0x0A00)
target_link_libraries(PkgConfig::HTTPLIB INTERFACE ws2_32)
