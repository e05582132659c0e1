# What keeps SelfUpdate.exe within its size budget, and the checks of what
# each measure relies on. Included by the top-level CMakeLists.txt for the
# Windows build, before any target is made.
#
# SelfUpdate.exe must stay under SELFUPDATE_SIZE_BUDGET bytes. The measures:
#
# 1. Every function and object in its own section, so the link can drop what
#    nothing uses (--gc-sections), and no symbols in the executable (-s).
# 2. No run-time type information and no guards around function-local
#    statics, which the budget has no room for. The guards only matter when
#    two threads can reach the same static, so this rests on the updater
#    being single-threaded: after each link the executable is checked to
#    import no function that starts a thread or runs code on one
#    (SELFUPDATE_THREAD_IMPORTS). These flags apply to all C++ of this build,
#    the tests included: objects compiled with and without type information
#    do not link together.
# 3. The program's own code (the OS library, the portable library, the update
#    logic and the executable's sources) compiled without exception support
#    (SELFUPDATE_PRODUCT_OPTIONS): nothing in it throws or catches, and an
#    exception that reaches it from elsewhere ends the run through the
#    terminate handler as one nobody caught would. The tests keep exceptions
#    for their own code.
# 4. runtime_trim.cpp, which replaces private parts of libstdc++ and of the
#    mingw-w64 runtime (about 250,000 bytes without it). Those parts change
#    between releases, so the trim is used only with the toolchain it was
#    written for, named below as the compiler's own macros give it; with any
#    other the updater is built with the full runtime, larger but correct,
#    and configuring says so. Where the trim is used, the build fails when
#    the executable is over the budget, and says how much room is left when
#    it is not.

add_compile_options(-ffunction-sections -fdata-sections
                    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
                    $<$<COMPILE_LANGUAGE:CXX>:-fno-threadsafe-statics>)

set(SELFUPDATE_PRODUCT_OPTIONS $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)

set(SELFUPDATE_SIZE_BUDGET 102400 CACHE STRING "Largest SelfUpdate.exe, in bytes, where the runtime trim is used")
# A test names another toolchain here (-D) to take the untrimmed path.
if(NOT DEFINED SELFUPDATE_TRIM_TOOLCHAIN)
  set(SELFUPDATE_TRIM_TOOLCHAIN "i686, GCC 12.0.0, libstdc++ 20220819, mingw-w64 10.0.0")
endif()
option(SELFUPDATE_RUNTIME_TRIM "Trim the runtime with runtime_trim.cpp where the toolchain allows" ON)
set(SELFUPDATE_THREAD_IMPORTS
    CreateThread CreateRemoteThread CreateRemoteThreadEx _beginthread _beginthreadex
    QueueUserWorkItem RegisterWaitForSingleObject CreateTimerQueueTimer BindIoCompletionCallback
    CreateThreadpoolWork CreateThreadpoolTimer CreateThreadpoolWait CreateThreadpoolIo
    TrySubmitThreadpoolCallback
    CACHE STRING "Imports that would break the single-threaded premise of -fno-threadsafe-statics")

# The target processor and the versions of the compiler, its C++ library and
# the mingw-w64 runtime, as the headers the updater is compiled against
# define them. The runtime's private parts differ between 32 and 64 bits.
execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -dM -E -x c++ ${CMAKE_CURRENT_LIST_DIR}/toolchain_probe.cpp
  OUTPUT_VARIABLE _macros RESULT_VARIABLE _status ERROR_QUIET)
set(_toolchain "")
foreach(_macro __GNUC__ __GNUC_MINOR__ __GNUC_PATCHLEVEL__ __GLIBCXX__
               __MINGW64_VERSION_MAJOR __MINGW64_VERSION_MINOR __MINGW64_VERSION_BUGFIX)
  set(_value "?")
  if(_status EQUAL 0 AND _macros MATCHES "#define ${_macro} ([0-9]+)")
    set(_value ${CMAKE_MATCH_1})
  endif()
  set(_v${_macro} ${_value})
endforeach()
set(_processor i686)
if(_macros MATCHES "#define __x86_64__ ")
  set(_processor x86_64)
endif()
set(SELFUPDATE_TOOLCHAIN "${_processor}, GCC ${_v__GNUC__}.${_v__GNUC_MINOR__}.${_v__GNUC_PATCHLEVEL__}, \
libstdc++ ${_v__GLIBCXX__}, \
mingw-w64 ${_v__MINGW64_VERSION_MAJOR}.${_v__MINGW64_VERSION_MINOR}.${_v__MINGW64_VERSION_BUGFIX}")

if(NOT SELFUPDATE_RUNTIME_TRIM)
  set(SELFUPDATE_TRIMMED OFF)
  message(STATUS "SelfUpdate.exe: full runtime (SELFUPDATE_RUNTIME_TRIM is off), no size budget")
elseif(SELFUPDATE_TOOLCHAIN STREQUAL SELFUPDATE_TRIM_TOOLCHAIN)
  set(SELFUPDATE_TRIMMED ON)
  message(STATUS "SelfUpdate.exe: runtime trimmed for ${SELFUPDATE_TOOLCHAIN}, "
                 "budget ${SELFUPDATE_SIZE_BUDGET} bytes")
else()
  set(SELFUPDATE_TRIMMED OFF)
  message(WARNING
    "SelfUpdate.exe is built with the full runtime, without the size budget: "
    "platform/win32/runtime_trim.cpp was written for ${SELFUPDATE_TRIM_TOOLCHAIN}, "
    "and this toolchain is ${SELFUPDATE_TOOLCHAIN}. The executable will work but be "
    "several times larger than ${SELFUPDATE_SIZE_BUDGET} bytes. To bring it back under "
    "the budget, check each part of runtime_trim.cpp against this toolchain's runtime "
    "and set SELFUPDATE_TRIM_TOOLCHAIN in cmake/win32_size_budget.cmake to it.")
endif()

# Applies the link's share of the measures to the shipped executable, and
# checks it after every link: its imports always, its size where trimmed.
function(selfupdate_keep_within_budget target)
  target_link_options(${target} PRIVATE -s -Wl,--gc-sections)
  set(_budget 0)
  if(SELFUPDATE_TRIMMED)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/runtime_trim.cpp)
    # Calls of the runtime's demangler and of mingw-w64's formatter are
    # renamed to the stand-ins of runtime_trim.cpp.
    target_link_options(${target} PRIVATE
      -Wl,--wrap=__cxa_demangle
      -Wl,--wrap=__mingw_vsnprintf)
    set(_budget ${SELFUPDATE_SIZE_BUDGET})
  endif()
  # The executable is checked as built, before anything (a signature) is
  # added; one that fails is moved aside, so the next build fails too.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DBUDGET=${_budget}
            -DOBJDUMP=${CMAKE_OBJDUMP} "-DTHREAD_IMPORTS=${SELFUPDATE_THREAD_IMPORTS}"
            -P ${PROJECT_SOURCE_DIR}/cmake/check_size.cmake
    VERBATIM)
endfunction()
