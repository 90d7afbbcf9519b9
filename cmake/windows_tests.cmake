# Tests of the Windows build. Cross-built programs run under the emulator of the toolchain (Wine),
# in a Wine prefix of their own inside the build tree. The black-box tests drive the bridge from a
# POSIX host: a host build of blackbox_tests, named by MCP_BRIDGE_HOST_BLACKBOX_TESTS, runs
# against this build's mcp-bridge.exe.

set(MCP_BRIDGE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
  "Wine prefix in which the tests of a cross build run")
set(MCP_BRIDGE_HOST_BLACKBOX_TESTS "" CACHE FILEPATH
  "blackbox_tests of a host build, run against this build's executable")

# No debugger on a crash: the program ends at once instead of waiting in winedbg.
set(_wine_environment WINEPREFIX=${MCP_BRIDGE_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d)

# The HTTP backend's tests serve on a Winsock socket of their own.
target_link_libraries(unit_tests PRIVATE ws2_32)

if(CMAKE_CROSSCOMPILING_EMULATOR)
  set_tests_properties(unit_tests PROPERTIES ENVIRONMENT "${_wine_environment}")
endif()

if(MCP_BRIDGE_ICON_CHECK)
  add_test(NAME icon_file COMMAND ${MCP_BRIDGE_ICON_CHECK} ${MCP_BRIDGE_ICON} ${MCP_BRIDGE_ICON_SIZES})
endif()

if(CMAKE_RC_COMPILER MATCHES "windres")
  add_test(NAME exe_resources COMMAND ${CMAKE_COMMAND} -DWINDRES=${CMAKE_RC_COMPILER}
    -DEXE=$<TARGET_FILE:mcp-bridge> "-DICON_SIZES=${MCP_BRIDGE_ICON_SIZES}"
    -P ${PROJECT_SOURCE_DIR}/cmake/check_exe_resources.cmake)
endif()

if(CMAKE_CROSSCOMPILING AND MCP_BRIDGE_HOST_BLACKBOX_TESTS)
  add_test(NAME blackbox_tests COMMAND ${MCP_BRIDGE_HOST_BLACKBOX_TESTS})
  set_tests_properties(blackbox_tests PROPERTIES ENVIRONMENT
    "${_wine_environment};MCP_BRIDGE_TEST_EXE=$<TARGET_FILE:mcp-bridge>;MCP_BRIDGE_TEST_SNAPSHOT_EXE=$<TARGET_FILE:mcp-bridge-snapshot>;MCP_BRIDGE_TEST_LAUNCHER=${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
