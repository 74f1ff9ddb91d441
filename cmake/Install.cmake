include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Components of the install, one Debian package each (see Packaging.cmake): the shared libraries,
# the development files, the tools, the Python module and the Qt Designer plugin.
set(VEXA32_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/vexa32)

# vexa32_install_library(target export-set header-folders... [APART subfolders...]): the library,
# and the public headers of its folders (not the private *_p.h ones), only with it. Subfolders
# named APART hold another library's headers and go with that one.
function(vexa32_install_library target export_set)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "APART")
  install(TARGETS ${target} EXPORT ${export_set}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
          INCLUDES DESTINATION ${VEXA32_INCLUDE_DIR})
  foreach(folder IN LISTS arg_UNPARSED_ARGUMENTS)
    get_filename_component(parent ${folder} DIRECTORY)
    # Folders of their own: pages/ua goes with its library, the plugin's headers nowhere. A
    # pattern would also match the folder being installed, so only what lies below it is named.
    set(apart)
    foreach(sub IN LISTS arg_APART)
      list(APPEND apart REGEX "/${folder}/${sub}$" EXCLUDE)
    endforeach()
    install(DIRECTORY ${folder} DESTINATION ${VEXA32_INCLUDE_DIR}/${parent} COMPONENT dev
            FILES_MATCHING PATTERN "*.h" PATTERN "*_p.h" EXCLUDE
            REGEX "/${folder}/ua$" EXCLUDE REGEX "/${folder}/designer$" EXCLUDE ${apart})
  endforeach()
endfunction()

vexa32_install_library(vexa32_automation vexa32Targets platform/automation)
vexa32_install_library(vexa32_apartment vexa32Targets platform/apartment)
vexa32_install_library(vexa32_container vexa32Targets platform/container)
vexa32_install_library(vexa32_opcda vexa32Targets platform/opcda)
vexa32_install_library(vexa32_control vexa32Targets control)
vexa32_install_library(vexa32_opc vexa32Targets opc)
if(VEXA32_OPCUA)
  vexa32_install_library(vexa32_opcua vexa32Targets platform/opcua)
endif()
if(VEXA32_DCOM)
  vexa32_install_library(vexa32_dcom vexa32Targets platform/dcom APART da)
  vexa32_install_library(vexa32_dcom_da vexa32Targets platform/dcom/da)
endif()
install(EXPORT vexa32Targets NAMESPACE vexa32:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32 COMPONENT dev)

if(VEXA32_QT)
  vexa32_install_library(vexa32_qt vexa32WidgetsTargets platform/qt)
  vexa32_install_library(vexa32_pages vexa32WidgetsTargets pages)
  vexa32_install_library(vexa32_widgets vexa32WidgetsTargets widgets)
  if(TARGET vexa32_ua_pages)
    vexa32_install_library(vexa32_ua_pages vexa32WidgetsTargets pages/ua)
  endif()
  install(EXPORT vexa32WidgetsTargets NAMESPACE vexa32:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32 COMPONENT dev)
endif()

configure_package_config_file(cmake/vexa32Config.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/vexa32Config.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vexa32ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexa32Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/vexa32ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa32 COMPONENT dev)

# The tools.
if(TARGET vexa-monitor)
  install(TARGETS vexa-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET vexa-designer)
  install(TARGETS vexa-designer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# The Python module, where Debian's python3 looks for modules of packages.
set(VEXA32_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING "Where the Python module is installed")
if(TARGET vexa32_python)
  install(TARGETS vexa32_python LIBRARY DESTINATION ${VEXA32_PYTHON_INSTALL_DIR} COMPONENT python)
endif()

# The Qt Designer plugin, in Qt 6's plugin folder (relative to the prefix, as Qt reports it).
if(TARGET vexa32_designer_plugin)
  install(TARGETS vexa32_designer_plugin LIBRARY DESTINATION ${QT6_INSTALL_PLUGINS}/designer COMPONENT designer)
endif()
