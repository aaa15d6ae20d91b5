# Project-wide warning set; KIV_WERROR turns them into errors (CI does).
function(kiv_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wconversion -Wsign-conversion -Wimplicit-fallthrough
    $<$<CXX_COMPILER_ID:GNU>:-Wduplicated-cond -Wlogical-op -Wno-maybe-uninitialized>)
  if(KIV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Tests may compare signed and unsigned literals freely and use gtest macros.
function(kiv_set_test_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-sign-compare)
  if(KIV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
