# Warnings for the project's own targets only; zlib.h and gtest stay quiet under them.
function(wrenfold_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wold-style-cast
    -Wcast-qual -Wnon-virtual-dtor -Woverloaded-virtual -Wmissing-declarations -Wundef
    -Wzero-as-null-pointer-constant -Wimplicit-fallthrough
    $<$<BOOL:${WRENFOLD_WERROR}>:-Werror>)
endfunction()
