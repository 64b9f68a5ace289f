# The Windows programs of the cross builds, registered with the native
# build's ctest for each architecture whose build directory is known
# (-DXKT_WIN32_BUILD_DIR=..., -DXKT_WIN64_BUILD_DIR=...). The Wine tests run
# them under Wine and Xvfb against the native xkt-sim; on a host that cannot
# start an architecture's programs they report themselves skipped.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(XKT_WINE_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

# How each architecture's Wine tests run on this host: "native", "vm" (in
# the guest) or "none" (they skip). Asked once, when the build is configured:
# reconfigure after installing Wine or qemu.
execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/wineenv.py ways
                OUTPUT_VARIABLE xkt_wine_ways OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE xkt_ways_status)
foreach(arch win32 win64)
  set(XKT_WINE_WAY_${arch} native)
  if(xkt_ways_status EQUAL 0 AND xkt_wine_ways MATCHES "${arch}=([a-z]+)")
    set(XKT_WINE_WAY_${arch} ${CMAKE_MATCH_1})
  endif()
  message(STATUS "Wine tests ${arch}: ${XKT_WINE_WAY_${arch}}")
endforeach()

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
  set(run_wine_serial ${XKT_WINE_TESTS_DIR}/run_serial_tests.py ${wine_args})

  # XKT.EXE driven from outside (about 3 minutes).
  set(run_wine_e2e ${XKT_WINE_TESTS_DIR}/test_e2e.py ${wine_args})

  # orvel.exe, the console program: its image (ADVAPI32 for the registry's
  # list of COM ports), and find, read and erase on COM3 and COM12 (about 10 s).
  add_test(NAME image_orvel_${arch}
    COMMAND ${Python3_EXECUTABLE} ${XKT_WINE_TESTS_DIR}/../image_check.py
            --arch ${arch} --console --allow advapi32.dll ${build_dir}/cli/orvel.exe)
  set(run_wine_orvel ${CMAKE_SOURCE_DIR}/cli/tests/test_orvel_wine.py ${wine_args})

  # XKT.EXE at 96 and 144 DPI: the picture keeps its share of the window
  # (about 20 s); screenshots of both go to the cross build's wine-dpi/.
  set(run_wine_dpi ${XKT_WINE_TESTS_DIR}/test_dpi.py --win-build ${build_dir} --arch ${arch})

  # That a program of this architecture really runs as one (pointer size,
  # image, the Linux process behind it): what the virtual machine, where the
  # 32-bit tests may run, must not get wrong without a word (about 5 s).
  set(run_wine_bitness ${XKT_WINE_TESTS_DIR}/run_bitness.py --win-build ${build_dir} --arch ${arch})

  # Two lanes: the entries that run in the guest hold the lock "guest" (one
  # emulated PC at a time; it takes the processors it is given), the ones
  # that run Wine on this host hold "wine_host" (one Wine session at a time:
  # the timings under test need the machine's attention); each lane runs
  # beside the other and beside the host's other entries. Which lane an
  # architecture takes is this host's (tools/wineenv.py host). The runners
  # exit 77 where the host cannot start this architecture's programs and no
  # virtual machine can.
  if(XKT_WINE_WAY_${arch} STREQUAL "vm")
    set(lock guest)
  else()
    set(lock wine_host)
  endif()
  set(wine_tests "")
  foreach(kind wine_bitness wine_serial wine_e2e wine_orvel wine_dpi)
    add_test(NAME ${kind}_${arch} COMMAND ${Python3_EXECUTABLE} ${run_${kind}})
    list(APPEND wine_tests ${kind}_${arch})
  endforeach()
  set_tests_properties(${wine_tests} PROPERTIES RESOURCE_LOCK ${lock} SKIP_RETURN_CODE 77)
  # XKT_VM_BOUND: how long a run in the virtual machine may take once the
  # guest has booted, kept under ctest's TIMEOUT so that a hung guest fails
  # with its console's last lines rather than being killed without a word.
  set(batch_parts "")
  foreach(kind wine_bitness wine_serial wine_e2e wine_orvel wine_dpi)
    set(test ${kind}_${arch})
    if(kind STREQUAL "wine_e2e")
      set(bound 900)
      set(timeout 1200)
    else()
      set(bound 300)
      set(timeout 600)
    endif()
    set_tests_properties(${test} PROPERTIES TIMEOUT ${timeout}
      ENVIRONMENT "XKT_VM_BOUND=${bound};XKT_GUEST_BATCH_DIR=${CMAKE_BINARY_DIR}/guest-batch-${arch}")
    list(APPEND batch_parts --part ${test} ${bound} ${run_${kind}})
  endforeach()

  if(XKT_WINE_WAY_${arch} STREQUAL "vm")
    # One boot of the guest for all of them (guestvm.py batch): each entry
    # then reports its own part; run alone (ctest -R), or where the batch is
    # off (XKT_GUEST_BATCH unset), each boots for itself and the batch entry
    # shows as skipped.
    add_test(NAME guest_batch_${arch}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/vm/guestvm.py batch
              --results ${CMAKE_BINARY_DIR}/guest-batch-${arch} --bound 2400 ${batch_parts})
    set_tests_properties(guest_batch_${arch} PROPERTIES RESOURCE_LOCK guest TIMEOUT 2700
      FIXTURES_SETUP guest_${arch} SKIP_RETURN_CODE 77)
    set_tests_properties(${wine_tests} PROPERTIES FIXTURES_REQUIRED guest_${arch})
  endif()
endforeach()
