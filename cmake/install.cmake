# What `cmake --install` puts in place: the library with its header, a
# package configuration (find_package(kelapi) gives kelapi::kelapi) and a
# pkg-config file, the tools, on 32-bit Windows the installer, the man pages, the
# manual and the examples' sources.
#
# Binaries are installed stripped, unless the build is a Debug build
# (`cmake --install <dir> --config Debug` asks for that too) or
# KEL_INSTALL_STRIP is off.
include(CMakePackageConfigHelpers)

option(KEL_INSTALL_STRIP "Strip the installed binaries of a non-Debug build" ON)
if(KEL_INSTALL_STRIP)
  install(CODE [[
    if(NOT DEFINED CMAKE_INSTALL_DO_STRIP AND NOT CMAKE_INSTALL_CONFIG_NAME STREQUAL "Debug")
      set(CMAKE_INSTALL_DO_STRIP 1)
    endif()
  ]])
endif()

install(TARGETS kelapi EXPORT kelapiTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kelapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(program kelsrv kelcli)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(KEL_OSTREL_SHIPPED)
  install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(kel_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelapi)
install(EXPORT kelapiTargets NAMESPACE kelapi:: DESTINATION ${kel_config_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelapiConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kelapiConfig.cmake INSTALL_DESTINATION ${kel_config_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kelapiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelapiConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kelapiConfigVersion.cmake
  DESTINATION ${kel_config_dir})

# pkg-config: the prefix is found from the file's own place, so that an
# installed tree can be moved (or installed with --prefix).
set(kel_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH kel_pc_to_prefix /${kel_pc_dir} /)
string(REGEX REPLACE "/$" "" kel_pc_to_prefix "${kel_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kelapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelapi.pc DESTINATION ${kel_pc_dir})

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kelapi.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
if(TARGET kelcli)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kelcli.1 ${PROJECT_SOURCE_DIR}/docs/man/kelsrv.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md" PATTERN man EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/kelapi.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/kelapi/wireshark)

# The installed client finds the installed library beside it.
if(TARGET kelcli AND NOT WIN32)
  set_target_properties(kelcli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
