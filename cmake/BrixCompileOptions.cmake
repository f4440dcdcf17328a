# Warning flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(BRIX_WERROR)
  add_compile_options(-Werror)
endif()

if(WIN32)
  # Static runtime: the programs and cgilet DLLs run under Wine or on a bare
  # Windows machine without libstdc++/libgcc/winpthread DLLs beside them.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# Pick the source of a platform seam: NAME_win32.cpp on Windows, NAME_posix.cpp elsewhere.
function(brix_platform_source out_var stem)
  if(WIN32)
    set(${out_var} ${stem}_win32.cpp PARENT_SCOPE)
  else()
    set(${out_var} ${stem}_posix.cpp PARENT_SCOPE)
  endif()
endfunction()
