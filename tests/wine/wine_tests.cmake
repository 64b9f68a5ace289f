# The Wine tests, registered with the native build's ctest when the cross
# build directory is known (-DXKT_WIN32_BUILD_DIR=...). They run the Win32
# programs of that build under Wine and Xvfb against the native xkt-sim.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(XKT_WINE_ARGS
  --sim $<TARGET_FILE:xkt-sim>
  --win-build ${XKT_WIN32_BUILD_DIR})

# The Win32 serial port and the command exchange (about 10 s; a first run also
# builds the Wine template prefix, about 15 s more).
add_test(NAME wine_serial
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_serial_tests.py ${XKT_WINE_ARGS})

# XKT.EXE driven from outside.
add_test(NAME wine_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_e2e.py ${XKT_WINE_ARGS})

# One Wine session and one Xvfb at a time; Wine runs are slow on a loaded machine.
set_tests_properties(wine_serial PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
set_tests_properties(wine_e2e PROPERTIES TIMEOUT 1200 RUN_SERIAL TRUE)
