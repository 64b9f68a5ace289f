# What every program of the build is compiled and linked with beyond the
# defaults: one time for the whole build, no build folder's path in any
# file, Debian's hardening for the native programs, or the sanitizers.
#
# XKT_SOURCE_DATE_EPOCH: the time the build stamps wherever a file records
# one (the Windows images' headers, the zip, the MSI packages' summary, the
# .deb and its changelog). SOURCE_DATE_EPOCH from the environment when set
# (the build scripts set it), else the last commit's time; then the same
# sources give the same bytes, however often and wherever they are built.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(XKT_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE XKT_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE xkt_git_result ERROR_QUIET)
  if(NOT xkt_git_result EQUAL 0)
    set(XKT_SOURCE_DATE_EPOCH "")
  endif()
endif()
if(NOT XKT_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(WARNING "SOURCE_DATE_EPOCH is not set and this is no git checkout: "
                  "the build records the time it ran and cannot be reproduced")
  set(XKT_SOURCE_DATE_EPOCH "")
else()
  # For what reads it while configuring (the changelog's date).
  set(ENV{SOURCE_DATE_EPOCH} ${XKT_SOURCE_DATE_EPOCH})
  message(STATUS "SOURCE_DATE_EPOCH ${XKT_SOURCE_DATE_EPOCH}")
endif()
# Rewritten only when the time changes: the programs that record it are
# linked anew then (LINK_DEPENDS), even when no source changed.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/source-date-epoch CONTENT "${XKT_SOURCE_DATE_EPOCH}\n")
set(XKT_SOURCE_DATE_EPOCH_FILE ${CMAKE_BINARY_DIR}/source-date-epoch)

# The linker writes the time into each Windows image: it takes the epoch
# from its environment, whatever the environment of `cmake --build`.
if(XKT_SOURCE_DATE_EPOCH)
  foreach(lang C CXX)
    set(CMAKE_${lang}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${XKT_SOURCE_DATE_EPOCH})
  endforeach()
endif()

# Source paths in __FILE__ and debug information relative to the folders,
# not where they happen to be. The build folder's map comes last, so that
# GCC tries it first when the build folder lies inside the sources.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

if(NOT WIN32)
  option(XKT_SANITIZE "Build with the address and undefined-behaviour sanitizers (tests only, never packaged)" OFF)
  if(XKT_SANITIZE)
    # Every program carries this folder (cmake/Sanitizers.cmake).
    set(XKT_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports CACHE PATH
        "Where the sanitized programs write their reports (one file per report)")
    # Undefined behaviour stops the program like a bad address does, so that
    # no report can scroll by in a test that passes.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  else()
    # Built as Debian hardens its packages: the flags dpkg-buildflags gives
    # with every hardening feature on (stack protector, _FORTIFY_SOURCE,
    # format checks, PIE, -z relro -z now), plus control-flow protection.
    # Its optimisation, debug and path-map flags are left to the build type
    # and to the maps above.
    find_program(XKT_DPKG_BUILDFLAGS dpkg-buildflags)
    if(NOT XKT_DPKG_BUILDFLAGS)
      message(WARNING "dpkg-buildflags (dpkg-dev) is missing: the programs are built without hardening")
    else()
      foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                                ${XKT_DPKG_BUILDFLAGS} --get ${kind}
                        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        list(FILTER flags EXCLUDE REGEX "^(-g.*|-O.*|-ffile-prefix-map=.*|-fdebug-prefix-map=.*)$")
        set(XKT_HARDENING_${kind} ${flags})
      endforeach()
      add_compile_options(${XKT_HARDENING_CPPFLAGS} ${XKT_HARDENING_CXXFLAGS} -fcf-protection)
      add_link_options(${XKT_HARDENING_LDFLAGS})
      message(STATUS "Hardening: ${XKT_HARDENING_CPPFLAGS} ${XKT_HARDENING_CXXFLAGS} -fcf-protection; "
                     "${XKT_HARDENING_LDFLAGS}")
    endif()
  endif()
endif()
