# Install rules and the packages CPack makes from them (scripts/package). The version is the
# project's own.
#
# Linux: the programs in bin/, the example configuration and snapshot with the README in
# share/doc/mcp-bridge; a Debian package whose dependencies dpkg-shlibdeps reads off the programs,
# and a .tar.gz. Windows: one flat folder, as a vendor ships it beside the app, the configuration
# and snapshot already beside the executable; a .zip.

set(CMAKE_INSTALL_DOCDIR share/doc/mcp-bridge CACHE PATH "Documentation and examples")
include(GNUInstallDirs)

set(_examples ${PROJECT_SOURCE_DIR}/examples/mcp-bridge.json
              ${PROJECT_SOURCE_DIR}/examples/snapshot.json)
if(WIN32)
  install(TARGETS mcp-bridge mcp-bridge-snapshot RUNTIME DESTINATION .)
  install(FILES ${_examples} ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(TARGETS mcp-bridge mcp-bridge-snapshot RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_examples} ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME mcp-bridge)
set(CPACK_PACKAGE_VENDOR "mcp-bridge")
set(CPACK_PACKAGE_CONTACT "mcp-bridge maintainers <mcp-bridge@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console bridge from MCP hosts on standard input and output to a desktop app's MCP endpoint")
set(CPACK_PACKAGE_DESCRIPTION
    "mcp-bridge is started by an MCP host and relays its JSON-RPC messages to a desktop app that serves MCP over HTTP on loopback, answering from a snapshot while the app is not running. mcp-bridge-snapshot records and checks that snapshot.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME mcp-bridge-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_FILE_NAME mcp-bridge-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)
