# Debian packages of the install components (cpack -G DEB in the build folder; scripts/debs builds,
# checks and tries them). Dependencies on other packages are worked out from the binaries by
# dpkg-shlibdeps; our own libraries are found in the build tree and named by the component
# dependencies below.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexa32)
set(CPACK_PACKAGE_VENDOR "VEXA32")
set(CPACK_PACKAGE_CONTACT "VEXA32 developers <vexa32-dev@vexa32.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OPC client component with Qt windows")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python designer)
set(private_dirs)
foreach(dir platform control opc pages widgets)
  list(APPEND private_dirs ${PROJECT_BINARY_DIR}/${dir})
endforeach()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${private_dirs})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexa32-0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is updated by libc's trigger (CPack also adds its own ldconfig call).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "OPC client component: shared libraries
 The vexa control (60 item slots of one OPC server, with values, qualities
 and time stamps), the OPC Data Access stand-ins, the OPC UA client, and the
 Qt windows and widget.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvexa32-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "nlohmann-json3-dev, libssl-dev, qt6-base-dev")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "OPC client component: development files
 Headers and the CMake package: find_package(vexa32 COMPONENTS widgets) gives
 vexa32::control, vexa32::opcua and vexa32::widgets.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vexa32-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "OPC client component: monitor and form designer
 vexa-monitor reads, writes and watches items of an OPC server from a terminal;
 vexa-designer designs and runs forms with vexa controls.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vexa32)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "OPC client component: Python 3 module
 The vexa control from Python: connect, read, write and wait for data changes.")

set(CPACK_DEBIAN_DESIGNER_PACKAGE_NAME vexa32-designer-plugin)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_DESIGNER_DEPENDS runtime)
set(CPACK_COMPONENT_DESIGNER_DESCRIPTION "OPC client component: Qt Designer plugin
 Puts the VEXA32 widget in Qt Designer's widget box, with its property pages
 in the form's context menu.")

# Every package carries its copyright file and changelog, where Debian keeps them.
find_program(VEXA32_GZIP gzip)
set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
if(VEXA32_GZIP)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
  execute_process(COMMAND ${VEXA32_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                  OUTPUT_FILE ${changelog_gz})
endif()
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(VEXA32_GZIP)
    install(FILES ${changelog_gz} DESTINATION ${doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()

# The documentation the tools' about box opens (scripts/debs sets VEXA32_DOCS_URL to it).
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vexa32-tools
        COMPONENT tools EXCLUDE_FROM_ALL)

include(CPack)
