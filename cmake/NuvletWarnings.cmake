# Warnings for the project's own targets (not for third-party code).
function(nuvlet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align
                                           -Wimplicit-fallthrough)
  if(NUVLET_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Collects the sources of a folder tree; new files are picked up on the next build.
function(nuvlet_glob_sources out dir)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(${out} ${found} PARENT_SCOPE)
endfunction()
