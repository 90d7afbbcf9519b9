# Resources of mcp-bridge.exe: the application manifest and the icon. The icon is drawn at build
# time from res/icon/drawing.txt by a generator that runs on the build machine; a cross build
# compiles that generator (and the icon checker) for the host as a project of its own.

set(_res_dir ${PROJECT_SOURCE_DIR}/res)
set(_icon_dir ${CMAKE_BINARY_DIR}/res)
set(MCP_BRIDGE_ICON ${_icon_dir}/mcp-bridge.ico)
set(MCP_BRIDGE_ICON_SIZES 16 20 24 32 40 48 64 256)

if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(_host_tools ${CMAKE_BINARY_DIR}/host-tools)
  ExternalProject_Add(icon_tools
    SOURCE_DIR ${_res_dir}/icon
    BINARY_DIR ${_host_tools}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DMCP_BRIDGE_WERROR=${MCP_BRIDGE_WERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${_host_tools}/icon_generator ${_host_tools}/icon_check)
  set(_icon_generator ${_host_tools}/icon_generator)
  set(_icon_generator_deps icon_tools ${_icon_generator})
  set(MCP_BRIDGE_ICON_CHECK ${_host_tools}/icon_check)
else()
  add_subdirectory(${_res_dir}/icon ${CMAKE_BINARY_DIR}/icon-tools)
  set(_icon_generator $<TARGET_FILE:icon_generator>)
  set(_icon_generator_deps icon_generator)
  if(TARGET icon_check)
    set(MCP_BRIDGE_ICON_CHECK $<TARGET_FILE:icon_check>)
  endif()
endif()

file(MAKE_DIRECTORY ${_icon_dir})
add_custom_command(OUTPUT ${MCP_BRIDGE_ICON}
  COMMAND ${_icon_generator} ${_res_dir}/icon/drawing.txt ${MCP_BRIDGE_ICON}
  DEPENDS ${_icon_generator_deps} ${_res_dir}/icon/drawing.txt
  COMMENT "Drawing the application icon"
  VERBATIM)

set(_rc ${_res_dir}/mcp-bridge.rc)
target_sources(mcp-bridge PRIVATE ${_rc} ${MCP_BRIDGE_ICON})
set_property(SOURCE ${_rc} APPEND PROPERTY INCLUDE_DIRECTORIES ${_icon_dir} ${_res_dir})
set_property(SOURCE ${_rc} APPEND PROPERTY OBJECT_DEPENDS
  ${MCP_BRIDGE_ICON} ${_res_dir}/mcp-bridge.manifest)
if(MSVC)
  # The MSVC linker writes the manifest, merging this one in.
  target_sources(mcp-bridge PRIVATE ${_res_dir}/mcp-bridge.manifest)
else()
  set_property(SOURCE ${_rc} APPEND PROPERTY COMPILE_DEFINITIONS MCP_BRIDGE_EMBED_MANIFEST)
endif()
