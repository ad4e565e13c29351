# Reads the version resource of a Windows binary, as Explorer and wmic show
# it, and compares it with the project's version.
#   cmake -DWINDRES=<windres> -DBINARY=<file> -DVERSION=<x.y.z> -P check_version.cmake
cmake_policy(VERSION 3.25)
execute_process(COMMAND ${WINDRES} -i ${BINARY} -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${WINDRES} cannot read the resources of ${BINARY}")
endif()
string(REPLACE "." ", " numbers "${VERSION}")
get_filename_component(name ${BINARY} NAME)
foreach(expected "FILEVERSION ${numbers}, 0" "PRODUCTVERSION ${numbers}, 0" "\"FileVersion\", \"${VERSION}\""
                 "\"ProductVersion\", \"${VERSION}\"" "\"ProductName\", \"kelapi\"" "\"OriginalFilename\", \"${name}\""
                 "\"FileDescription\", \"[A-Za-z]")
  if(NOT rc MATCHES "${expected}")
    message(FATAL_ERROR "${BINARY}: no ${expected} in its version resource:\n${rc}")
  endif()
endforeach()
message(STATUS "${name}: version resource ${VERSION}")
