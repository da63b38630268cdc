# Our own targets build without warnings; third-party headers come in as
# system headers. The test command builds with VELTRANO_WERROR=ON, so a new
# warning fails CI instead of scrolling past.
option(VELTRANO_WERROR "Treat warnings in our own targets as errors" OFF)

function(veltrano_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VELTRANO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
