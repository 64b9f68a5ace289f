# The packages a user installs: the MSI packages of the cross builds (built
# from packaging/Orvel.wxs in the test, then checked and, for x64, installed
# and uninstalled under Wine) and the Debian package of this build. Each
# reports itself skipped where its tools or Wine's architecture are missing.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(XKT_PACKAGING_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

set(msi_builds "")
if(XKT_WIN32_BUILD_DIR)
  list(APPEND msi_builds --build x86=${XKT_WIN32_BUILD_DIR})
endif()
if(XKT_WIN64_BUILD_DIR)
  list(APPEND msi_builds --build x64=${XKT_WIN64_BUILD_DIR})
endif()
if(msi_builds)
  # The tables: files, shortcut and its working folder, per user, upgrade.
  add_test(NAME msi_tables
    COMMAND ${Python3_EXECUTABLE} ${XKT_PACKAGING_TESTS_DIR}/test_msi.py tables ${msi_builds}
            --out ${CMAKE_BINARY_DIR}/msi-test/tables)
  set_tests_properties(msi_tables PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
if(XKT_WIN64_BUILD_DIR)
  # msiexec /i, /x and an upgrade under Wine (about 15 s).
  add_test(NAME wine_msi_win64
    COMMAND ${Python3_EXECUTABLE} ${XKT_PACKAGING_TESTS_DIR}/test_msi.py wine
            --build x64=${XKT_WIN64_BUILD_DIR} --out ${CMAKE_BINARY_DIR}/msi-test/wine)
  # With the other Wine entries of this host, one at a time (the lock
  # "wine_host", see tests/wine/wine_tests.cmake).
  set_tests_properties(wine_msi_win64 PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK wine_host)
endif()

# The Debian package (cmake --build . --target package), each part built
# afresh by cpack: its contents, an install into a throwaway root, lintian,
# and its programs' hardening (hardening-check).
foreach(part contents install lintian hardening)
  add_test(NAME deb_${part}
    COMMAND ${Python3_EXECUTABLE} ${XKT_PACKAGING_TESTS_DIR}/test_deb.py ${part}
            --build ${CMAKE_BINARY_DIR})
  set_tests_properties(deb_${part} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
endforeach()

# A signed release, packed from the programs the cross builds already hold
# and signed with a throwaway authority made for the run: its signatures
# verified, the check against its rebuild passing and, for a changed byte,
# failing; keys that cannot sign refused. The two that run
# check-reproducible --reuse build in the same trees, one at a time.
if(XKT_WIN32_BUILD_DIR AND XKT_WIN64_BUILD_DIR)
  foreach(mode signed timestamped refused)
    add_test(NAME sign_${mode}
      COMMAND ${Python3_EXECUTABLE} ${XKT_PACKAGING_TESTS_DIR}/test_signing.py ${mode}
              --win ${XKT_WIN32_BUILD_DIR} --native ${CMAKE_BINARY_DIR}
              --out ${CMAKE_BINARY_DIR}/sign-test/${mode})
    set_tests_properties(sign_${mode} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
                         RESOURCE_LOCK xkt_release_trees)
  endforeach()
endif()
