# Cross-compiling for Windows with Debian's mingw-w64 compilers, included by
# the toolchain file of each bitness once it has set _mingw (the compilers'
# target triplet) and CMAKE_SYSTEM_PROCESSOR.
#
# The win32 thread model is chosen on purpose: it needs no winpthread, so a
# static link leaves only Windows' own DLLs among the imports. Everything is
# linked statically, so the programs (tests included) run from any folder,
# under Wine or on Windows, without a compiler runtime DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_mingw}-gcc-win32)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-win32)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR /usr/bin/${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${_mingw}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler flags that keep the updater small are the size budget's
# (win32_size_budget.cmake), set with the measures they belong to.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine, through a wrapper that gives the build its own
# Wine prefix in the Simplified Chinese ANSI code page.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
