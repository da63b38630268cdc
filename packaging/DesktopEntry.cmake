# Writes the desktop entry with an Exec line that starts <executable>. Used
# at configure time for the build's bundle and at install time for the
# prefix chosen then (cmake --install --prefix ...).

# The path as one Exec argument. A literal % is always doubled. A path with
# a character the Exec grammar reserves goes in double quotes, inside which
# ", `, $ and \ take a backslash; the value's own escaping then doubles
# every backslash once more. Plain paths stay bare, as desktops expect.
function(veltrano_desktop_exec_argument out path)
  if(path MATCHES "[\n\r\t]")
    message(FATAL_ERROR "A desktop entry cannot start a program whose path holds a control character: ${path}")
  endif()
  string(REPLACE "%" "%%" argument "${path}")
  if(argument MATCHES "[ \"'\\><~|&;$*?#()`]")
    string(REPLACE "\\" "\\\\" argument "${argument}")
    string(REPLACE "\"" "\\\"" argument "${argument}")
    string(REPLACE "`" "\\`" argument "${argument}")
    string(REPLACE "$" "\\$" argument "${argument}")
    string(REPLACE "\\" "\\\\" argument "${argument}")
    set(argument "\"${argument}\"")
  endif()
  set(${out} "${argument}" PARENT_SCOPE)
endfunction()

function(veltrano_write_desktop_entry template output executable)
  veltrano_desktop_exec_argument(VELTRANO_DESKTOP_EXEC "${executable}")
  configure_file("${template}" "${output}" @ONLY)
endfunction()
