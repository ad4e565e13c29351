# What `cmake --install` puts in place: the library with its header and a
# package configuration (find_package(kelapi) gives kelapi::kelapi), the
# tools, and on Windows the installer.
include(CMakePackageConfigHelpers)

install(TARGETS kelapi EXPORT kelapiTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kelapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kelsrv kelcli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET ostrel)
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

# The installed client finds the installed library beside it.
if(NOT WIN32)
  set_target_properties(kelcli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
