# Warnings are errors in every build of NIVOR's own code.
function(nivor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                                           -Wcast-align -Wnon-virtual-dtor -Werror)
endfunction()
