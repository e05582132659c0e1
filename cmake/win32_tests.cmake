# Tests of the Windows build, run under Wine through the wrapper that the
# toolchain file names as the cross-compiling emulator. Included from
# tests/CMakeLists.txt, so relative paths are those of tests/.

target_sources(unit_tests PRIVATE real_env_win32.cpp win32_services_test.cpp)
# The shell's path helpers, to compare the display name against.
target_link_libraries(unit_tests PRIVATE shlwapi)

# GoogleTest's one use of std::mutex, which the compiler's win32 thread
# model (chosen for the updater) lacks, is replaced through its hook where it
# is built from source.
if(TARGET gtest)
  target_compile_options(gtest PUBLIC
    $<$<COMPILE_LANGUAGE:CXX>:-include${PROJECT_SOURCE_DIR}/cmake/gtest_notification_win32.h>)
endif()

set(SELFUPDATE_WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
# The shipped build is the 32-bit one, and every test of it runs the program
# itself: natively where the kernel executes 32-bit code, through qemu-i386
# where it does not (see wine-run.sh). The 64-bit build of the same sources
# runs the same tests under wine64. A test whose program cannot run fails;
# only where the run was told to (SELFUPDATE_WINE_NO_ROUTE=skip) does the
# runner exit 77 instead, reported as skipped.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SELFUPDATE_WINE_ARCH win32)
else()
  set(SELFUPDATE_WINE_ARCH win64)
endif()
set(SELFUPDATE_WINE_SKIP SKIP_RETURN_CODE 77)
# One Wine prefix per build folder, created by the first test that needs it.
set(SELFUPDATE_WINE_ENV SELFUPDATE_WINE_ARCH=${SELFUPDATE_WINE_ARCH}
                        SELFUPDATE_WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix)

# Few tests for the whole program, as each start under Wine costs far more
# than the tests themselves: the quick ones, and the sweeps on the real file
# system.
add_test(NAME unit_tests COMMAND unit_tests --gtest_filter=-${SELFUPDATE_SLOW_UNIT_TESTS})
add_test(NAME unit_tests_sweeps COMMAND unit_tests --gtest_filter=${SELFUPDATE_SLOW_UNIT_TESTS})
set_tests_properties(unit_tests unit_tests_sweeps PROPERTIES ENVIRONMENT "${SELFUPDATE_WINE_ENV}"
                     ${SELFUPDATE_WINE_SKIP})
set_tests_properties(unit_tests_sweeps PROPERTIES LABELS slow)

# Helpers of the end-to-end scenarios: a host program that records being
# started, and a launcher that passes an exact command line.
add_executable(e2e_host WIN32 win32/host.c)
add_executable(e2e_launch win32/launch.c)
set_target_properties(e2e_host PROPERTIES OUTPUT_NAME Host)
set_target_properties(e2e_launch PROPERTIES OUTPUT_NAME Launch)

add_test(NAME e2e_win32
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e.py
          --exe $<TARGET_FILE:SelfUpdate> --platform win32 --runner ${SELFUPDATE_WINE_RUN}
          --host-exe $<TARGET_FILE:e2e_host> --launcher $<TARGET_FILE:e2e_launch>)
set_tests_properties(e2e_win32 PROPERTIES ENVIRONMENT "${SELFUPDATE_WINE_ENV}" LABELS slow
                     ${SELFUPDATE_WINE_SKIP})

# The failure message as a user meets it: a real window on a virtual X
# display, found and closed with xdotool. It has a Wine prefix of its own, as
# Wine's desktop process must start with the display and the other tests'
# prefix runs without one. Exits 77 (skipped) without Xvfb or xdotool.
add_test(NAME message_box_win32
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/wine_messagebox_test.py
          --exe $<TARGET_FILE:SelfUpdate> --runner ${SELFUPDATE_WINE_RUN})
set_tests_properties(message_box_win32 PROPERTIES
  ENVIRONMENT "SELFUPDATE_WINE_ARCH=${SELFUPDATE_WINE_ARCH};SELFUPDATE_WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix-x11"
  SKIP_RETURN_CODE 77
  LABELS "gui;xvfb;slow")

if(NOT SELFUPDATE_WINE_ARCH STREQUAL win32)
  return()
endif()

# The executable as a file: format, imports, resources, the identification
# block with the project's version. (Its size is checked by the build.)
add_test(NAME exe_win32
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_win32_exe.py
          --version ${PROJECT_VERSION} $<TARGET_FILE:SelfUpdate>)

# Vendors sign what they ship. The executable signed with a throw-away
# certificate must still be what Windows and the scenarios expect: the
# signature is appended, and must not disturb the identification record,
# the resources, the imports or any run.
set(SELFUPDATE_SIGNED ${PROJECT_BINARY_DIR}/signed/SelfUpdate.exe)
add_test(NAME sign_win32
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/sign_win32.py
          --exe $<TARGET_FILE:SelfUpdate> --out ${SELFUPDATE_SIGNED})
set_tests_properties(sign_win32 PROPERTIES FIXTURES_SETUP signed_exe)
add_test(NAME exe_win32_signed
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_win32_exe.py
          --version ${PROJECT_VERSION} ${SELFUPDATE_SIGNED})
add_test(NAME e2e_win32_signed
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e.py
          --exe ${SELFUPDATE_SIGNED} --platform win32 --runner ${SELFUPDATE_WINE_RUN}
          --host-exe $<TARGET_FILE:e2e_host> --launcher $<TARGET_FILE:e2e_launch>)
set_tests_properties(exe_win32_signed e2e_win32_signed PROPERTIES FIXTURES_REQUIRED signed_exe)
set_tests_properties(e2e_win32_signed PROPERTIES ENVIRONMENT "${SELFUPDATE_WINE_ENV}"
                     ${SELFUPDATE_WINE_SKIP})
set_tests_properties(sign_win32 exe_win32_signed e2e_win32_signed PROPERTIES LABELS slow)

# The size budget as the build enforces it: over it the build fails; with a
# toolchain the runtime trim was not written for, it builds untrimmed, warned,
# and still makes an executable that passes every other check.
add_test(NAME size_budget_win32
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_size_budget.py
          --source ${PROJECT_SOURCE_DIR} --toolchain ${CMAKE_TOOLCHAIN_FILE}
          --build-type ${CMAKE_BUILD_TYPE} --version ${PROJECT_VERSION})
set_tests_properties(size_budget_win32 PROPERTIES LABELS slow)
