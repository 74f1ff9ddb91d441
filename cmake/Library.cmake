# vexa32_library(target alias sources...): a static library of the project, exported as vexa32::alias,
# with the repository root as its include root.
function(vexa32_library name alias)
  add_library(${name} STATIC ${ARGN})
  add_library(vexa32::${alias} ALIAS ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${alias} POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:include/vexa32>)
  vexa32_warnings(${name})
endfunction()
