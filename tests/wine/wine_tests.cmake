# The Windows programs of the cross builds, registered with the native
# build's ctest for each architecture whose build directory is known
# (-DXKT_WIN32_BUILD_DIR=..., -DXKT_WIN64_BUILD_DIR=...). The Wine tests run
# them under Wine and Xvfb against the native xkt-sim; on a host that cannot
# start an architecture's programs they report themselves skipped.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(XKT_WINE_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

foreach(arch win32 win64)
  string(TOUPPER ${arch} ARCH)
  set(build_dir "${XKT_${ARCH}_BUILD_DIR}")
  if(NOT build_dir)
    continue()
  endif()

  # The images themselves, on any host: processor, subsystem, imports
  # (ADVAPI32 for the registry's list of COM ports, which Connect searches).
  add_test(NAME image_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/../image_check.py
            --arch ${arch} --allow advapi32.dll ${build_dir}/XKT.EXE)

  set(wine_args --sim $<TARGET_FILE:xkt-sim> --win-build ${build_dir} --arch ${arch})

  # The Win32 serial port and the command exchange (about 12 s; a first run
  # also builds the architecture's template prefix, about 15 s more).
  add_test(NAME wine_serial_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/run_serial_tests.py ${wine_args})

  # XKT.EXE driven from outside (about 3 minutes).
  add_test(NAME wine_e2e_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/test_e2e.py ${wine_args})

  # orvel.exe, the console program: its image (ADVAPI32 for the registry's
  # list of COM ports), and find, read and erase on COM3 and COM12 (about 10 s).
  add_test(NAME image_orvel_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/../image_check.py
            --arch ${arch} --console --allow advapi32.dll ${build_dir}/cli/orvel.exe)
  add_test(NAME wine_orvel_${arch}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cli/tests/test_orvel_wine.py ${wine_args})

  # XKT.EXE at 96 and 144 DPI: the picture keeps its share of the window
  # (about 20 s); screenshots of both go to the cross build's wine-dpi/.
  add_test(NAME wine_dpi_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/test_dpi.py
            --win-build ${build_dir} --arch ${arch})

  # That a program of this architecture really runs as one (pointer size,
  # image, the Linux process behind it): what the virtual machine, where the
  # 32-bit tests may run, must not get wrong without a word (about 5 s).
  add_test(NAME wine_bitness_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/run_bitness.py
            --win-build ${build_dir} --arch ${arch})

  # One Wine session and one Xvfb at a time: the timings under test need the
  # machine's attention, and a virtual machine takes both processors. The
  # runners exit 77 where the host cannot start this architecture's programs
  # and no virtual machine can (tools/wineenv.py host says which).
  set(wine_tests wine_bitness_${arch} wine_serial_${arch} wine_e2e_${arch} wine_orvel_${arch} wine_dpi_${arch})
  set_tests_properties(${wine_tests} PROPERTIES RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
  # XKT_VM_BOUND: how long a run in the virtual machine may take once the
  # guest has booted, kept under ctest's TIMEOUT so that a hung guest fails
  # with its console's last lines rather than being killed without a word.
  set_tests_properties(wine_bitness_${arch} wine_serial_${arch} wine_orvel_${arch} wine_dpi_${arch} PROPERTIES
    TIMEOUT 600 ENVIRONMENT XKT_VM_BOUND=300)
  set_tests_properties(wine_e2e_${arch} PROPERTIES TIMEOUT 1200 ENVIRONMENT XKT_VM_BOUND=900)
endforeach()
