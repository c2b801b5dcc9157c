# korva_set_warnings(<target>): the project's warning flags on one target
# (with clang, also the thread-safety analysis).
function(korva_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
    if(KORVA_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      # Checks the locking annotations of detail/ThreadAnnotations.h.
      target_compile_options(${target} PRIVATE -Wthread-safety)
    endif()
    if(KORVA_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
