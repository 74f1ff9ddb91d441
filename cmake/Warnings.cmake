# Warnings for the project's own targets. They are errors where VEXA32_WERROR is on: the project's
# scripts and CI turn it on; someone building the package from source gets warnings, not a failed
# build on a compiler we have not seen.
option(VEXA32_WERROR "Treat warnings as errors" OFF)

function(vexa32_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis at -O2 and above reports members of an inactive std::variant alternative
    # as "maybe uninitialized" after inlining (a false positive of GCC 12 that Variant, holding a
    # std::variant, meets everywhere); clang's -Wuninitialized still checks our own code.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      # GCC 12 at -O3 reports overlapping copies inside std::string's own operator+ (GCC bug 105651).
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
  if(VEXA32_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
