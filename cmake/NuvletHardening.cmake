# The compiler's identification strings (.comment) say nothing a user needs; Debian's
# strip removes them, and so does ours for an installed program.
function(nuvlet_install_program target destination)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination})
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(
        COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\"
        RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"objcopy could not drop the .comment section of ${target}\")
      endif()
    endif()
  ")
endfunction()

# The protections a Debian package's programs are built with (what dpkg-buildflags gives
# with hardening=+all): fortified libc calls, stack protector and stack clash checks,
# position-independent executables, and a GOT made read-only once bound at start (RELRO,
# BIND_NOW). The sanitizers and the fuzzers instrument the same calls their own way, so
# those builds go without.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

if(NUVLET_SANITIZE OR NUVLET_FUZZ)
  return()
endif()

check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# glibc fortifies only optimised code and warns otherwise (an error under -Werror); the
# compiler may define its own level, which would clash with ours.
add_compile_options(
  "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
  -fstack-protector-strong -Wformat -Werror=format-security)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "NUVLET_HAS${flag}" known)
  check_cxx_compiler_flag(${flag} ${known})
  if(${known})
    add_compile_options(${flag})
  endif()
endforeach()
add_link_options(LINKER:-z,relro LINKER:-z,now)
