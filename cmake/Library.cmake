# vexa32_library(target alias sources...): a library of the project, exported as vexa32::alias,
# with the repository root as its include root. Shared unless BUILD_SHARED_LIBS is off: a process
# that loads the Designer plugin and an application that uses the widget must share one registry,
# one apartment per thread and one set of services, which copies of static libraries would not.
function(vexa32_library name alias)
  add_library(${name} ${ARGN})
  add_library(vexa32::${alias} ALIAS ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${alias} POSITION_INDEPENDENT_CODE ON
                        VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:include/vexa32>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND BUILD_SHARED_LIBS)
    # Calls inside a library may be inlined and bound locally: nothing of ours is interposed.
    target_compile_options(${name} PRIVATE -fno-semantic-interposition)
  endif()
  vexa32_warnings(${name})
endfunction()
