include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEXA32_EXPORTED_TARGETS vexa32_automation vexa32_apartment vexa32_container vexa32_opcda vexa32_control vexa32_opc)
if(VEXA32_OPCUA)
  list(APPEND VEXA32_EXPORTED_TARGETS vexa32_opcua)
endif()
install(TARGETS ${VEXA32_EXPORTED_TARGETS} EXPORT vexa32Targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexa32)
install(DIRECTORY platform control opc DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexa32
        FILES_MATCHING PATTERN "*.h" PATTERN "*_p.h" EXCLUDE PATTERN "qt" EXCLUDE)
install(EXPORT vexa32Targets NAMESPACE vexa32:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32)
configure_package_config_file(cmake/vexa32Config.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/vexa32Config.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vexa32ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexa32Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/vexa32ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32)
