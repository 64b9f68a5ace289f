# The version as res/XKTVersion.h states it, the one place it lives:
# XKT_VERSION_NUMBERS 1,0,0,1 gives XKT_VERSION 1.0.0.1, and
# XKT_VERSION_MAJOR .._MINOR .._PATCH .._TWEAK.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../res/XKTVersion.h" xkt_version_line
     REGEX "^#define[ \t]+XKT_VERSION_NUMBERS[ \t]")
if(NOT xkt_version_line MATCHES "XKT_VERSION_NUMBERS[ \t]+([0-9]+),([0-9]+),([0-9]+),([0-9]+)")
  message(FATAL_ERROR "res/XKTVersion.h: no line \"#define XKT_VERSION_NUMBERS a,b,c,d\"")
endif()
set(XKT_VERSION_MAJOR ${CMAKE_MATCH_1})
set(XKT_VERSION_MINOR ${CMAKE_MATCH_2})
set(XKT_VERSION_PATCH ${CMAKE_MATCH_3})
set(XKT_VERSION_TWEAK ${CMAKE_MATCH_4})
set(XKT_VERSION "${XKT_VERSION_MAJOR}.${XKT_VERSION_MINOR}.${XKT_VERSION_PATCH}.${XKT_VERSION_TWEAK}")
unset(xkt_version_line)
