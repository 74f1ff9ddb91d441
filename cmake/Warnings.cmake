# Warnings are errors for the project's own targets.
function(vexa32_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
