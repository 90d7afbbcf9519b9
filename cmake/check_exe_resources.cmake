# Checks the resources linked into the executable, as windres lists them: the application icon
# with all its images and one manifest asking for the invoker's rights without UI access.
#
#   cmake -DWINDRES=... -DEXE=... -DICON_SIZES="16;20;..." -P check_exe_resources.cmake

execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "windres cannot read ${EXE}: ${errors}")
endif()

set(problems "")
list(LENGTH ICON_SIZES image_count)
string(REGEX MATCHALL "RT_GROUP_ICON" groups "${listing}")
list(LENGTH groups group_count)
if(NOT group_count EQUAL 1)
  string(APPEND problems "\n  ${group_count} icon groups, expected 1")
endif()
if(NOT listing MATCHES "Has ${image_count} elements")
  string(APPEND problems "\n  the icon group does not hold ${image_count} images")
endif()
foreach(size IN LISTS ICON_SIZES)
  # The group names each image's width and height as octal escapes; 256 is written as 0.
  math(EXPR byte "${size} % 256")
  math(EXPR octal "(${byte} / 64) * 100 + ((${byte} / 8) % 8) * 10 + ${byte} % 8")
  string(LENGTH "${octal}" digits)
  if(digits EQUAL 1)
    set(octal "00${octal}")
  elseif(digits EQUAL 2)
    set(octal "0${octal}")
  endif()
  if(NOT listing MATCHES "\"\\\\${octal}\\\\${octal}\\\\000\\\\000\", 1, 32,")
    string(APPEND problems "\n  no ${size} px image of 32 bits per pixel in the icon group")
  endif()
endforeach()
string(REGEX MATCHALL "RT_MANIFEST" manifests "${listing}")
list(LENGTH manifests manifest_count)
if(NOT manifest_count EQUAL 1)
  string(APPEND problems "\n  ${manifest_count} manifests, expected 1")
endif()
if(NOT listing MATCHES "requestedExecutionLevel level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"")
  string(APPEND problems "\n  the manifest does not request asInvoker without UI access")
endif()

if(problems)
  message(FATAL_ERROR "${EXE}:${problems}")
endif()
message(STATUS "${EXE}: icon with ${image_count} images, asInvoker manifest")
