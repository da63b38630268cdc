# Our own targets build without warnings; third-party headers come in as
# system headers.
function(veltrano_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
