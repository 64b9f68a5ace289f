# The sanitized build (XKT_SANITIZE): every program carries its sanitizer
# settings and the folder its reports go to (XKT_SANITIZER_REPORTS), fixed
# when the build is configured. Included after every target is defined.
configure_file(${CMAKE_CURRENT_LIST_DIR}/SanitizerOptions.cpp.in
               ${CMAKE_BINARY_DIR}/SanitizerOptions.cpp @ONLY)
# Anyone may write there: a test runs orvel as user nobody.
file(MAKE_DIRECTORY ${XKT_SANITIZER_REPORTS})
execute_process(COMMAND chmod 1777 ${XKT_SANITIZER_REPORTS})

function(xkt_sanitize_executables dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/SanitizerOptions.cpp)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    xkt_sanitize_executables(${subdir})
  endforeach()
endfunction()
xkt_sanitize_executables(${CMAKE_SOURCE_DIR})
