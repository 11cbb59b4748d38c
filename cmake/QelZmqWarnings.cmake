# QelZmqWarnings.cmake - warning policy for the project's own targets.
# Third-party headers are included as system headers, so they stay out of -Werror.
function(qel_zmq_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()
