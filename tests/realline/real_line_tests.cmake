# Both programs on real Linux serial drivers (a 16550 UART, an FTDI USB
# adapter) in the project's guest (tools/vm), on every host: a pseudo-
# terminal ignores the speed and has no modem lines and no hang-up. Each
# entry boots the guest once; they skip (77) where no guest can be had.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(real_line_args --sim $<TARGET_FILE:xkt-sim> --orvel $<TARGET_FILE:orvel>
    --win32-build ${XKT_WIN32_BUILD_DIR} --win64-build ${XKT_WIN64_BUILD_DIR})
foreach(case uart usb unplug break)
  add_test(NAME real_line_${case}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_real_line.py --case ${case} ${real_line_args})
endforeach()
# One guest at a time (the lock "guest", which the 32-bit Wine tests hold
# where they run in the guest), beside the host's entries. Each case boots
# a guest of its own: each has its own devices and far end on the host.
set_tests_properties(real_line_uart real_line_usb real_line_unplug real_line_break PROPERTIES
  RESOURCE_LOCK guest SKIP_RETURN_CODE 77 TIMEOUT 1800 ENVIRONMENT XKT_VM_BOUND=1500)
