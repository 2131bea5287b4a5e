# The Windows build's tests, run under wine by ctest: the portable unit tests (strings,
# heaps and lists, key decoding, the network library and the save path over loopback), and
# the Windows programs against the Linux ones of the test build; tests that need Linux are
# not built here. The wine server keeps a folder in TMPDIR that it does not always remove:
# it goes into the build folder, as do the scripts'.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/tmp)
set(KV_WINE_ENV WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all TMPDIR=${CMAKE_BINARY_DIR}/tmp)
string(REPLACE ";" " " KV_WINE_ENV_WORDS "${KV_WINE_ENV}")
set(CMAKE_CROSSCOMPILING_EMULATOR env ${KV_WINE_ENV} wine)
set(KV_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# GoogleTest from the sources Debian ships.
set(KV_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
set(INSTALL_GTEST OFF)
add_subdirectory(${KV_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

add_library(kvtestsupport STATIC ${KV_TESTS_DIR}/support/temp_dir.cpp ${KV_TESTS_DIR}/support/runtime_fixture.cpp)
target_include_directories(kvtestsupport PUBLIC ${KV_TESTS_DIR} ${CMAKE_SOURCE_DIR})
target_link_libraries(kvtestsupport PUBLIC kvruntime gtest)

# One wine server for the whole run: without it each test waits seconds for a new one. It
# needs the prefix folder (one already running for it is fine); wineboot fills the prefix
# on the first run (seconds).
add_test(NAME wine_start COMMAND sh -c "mkdir -p ${CMAKE_BINARY_DIR}/wine && env ${KV_WINE_ENV_WORDS} wineserver -p </dev/null >/dev/null 2>&1; env ${KV_WINE_ENV_WORDS} wine wineboot >/dev/null 2>&1")
add_test(NAME wine_stop COMMAND env ${KV_WINE_ENV} wineserver -k)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

foreach(suite strings core console portable windows)
  set(sources)
  foreach(pattern strings/*_test.cpp core/heap_test.cpp core/list_test.cpp console/keys_test.cpp portable/*_test.cpp
                  windows/*_test.cpp)
    if(pattern MATCHES "^${suite}/")
      file(GLOB found CONFIGURE_DEPENDS ${KV_TESTS_DIR}/${pattern})
      list(APPEND sources ${found})
    endif()
  endforeach()
  add_executable(test_${suite} ${sources})
  target_link_libraries(test_${suite} PRIVATE kvtestsupport gtest_main)
  add_test(NAME windows_${suite} COMMAND test_${suite} --gtest_brief=1)
  set_tests_properties(windows_${suite} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)
endforeach()

# The programs against the Linux ones, both ways, over IPv4 and IPv6 loopback.
set(KV_LINUX_BUILD ${CMAKE_SOURCE_DIR}/build/test CACHE PATH "A Linux build of the programs to talk to")
add_test(NAME windows_interop
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/interop.sh ${KV_LINUX_BUILD} $<TARGET_FILE:Kelvane> $<TARGET_FILE:Dorvish>)
set_tests_properties(windows_interop PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 SKIP_RETURN_CODE 77
                     ENVIRONMENT "${KV_WINE_ENV}")

# Both programs need nothing but libraries every Windows has.
add_test(NAME windows_imports
         COMMAND sh -c "x86_64-w64-mingw32-objdump -p \"$0\" \"$1\" | sed -n 's/^\\s*DLL Name: //p' | grep -viE '^(kernel32|msvcrt|ws2_32|user32|comdlg32|shell32|winmm|advapi32)\\.dll$' && exit 1 || exit 0"
                 $<TARGET_FILE:Kelvane> $<TARGET_FILE:Dorvish>)

# What Windows and Explorer read from both programs: manifest, version information, icon.
add_test(NAME windows_resources
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/resources.py ${PROJECT_VERSION}
                 $<TARGET_FILE:Kelvane> $<TARGET_FILE:Dorvish>)

# The zip and the installer (cpack), installed and removed silently.
add_test(NAME windows_package COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package.sh ${CMAKE_BINARY_DIR} ${CMAKE_CPACK_COMMAND})
set_tests_properties(windows_package PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 ENVIRONMENT "${KV_WINE_ENV}")

# The receiver by hand in a terminal: typed path, and the system's save dialog on Xvfb
# (own wine server).
add_test(NAME windows_interactive
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/interactive.sh ${KV_LINUX_BUILD} $<TARGET_FILE:Kelvane>)
set_tests_properties(windows_interactive PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
                     ENVIRONMENT "${KV_WINE_ENV}")
