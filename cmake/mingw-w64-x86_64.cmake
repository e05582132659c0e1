# Cross-compiling for 64-bit Windows with Debian's mingw-w64 x86_64 compilers:
# the same sources as the shipped 32-bit build, so that their tests can run
# under a 64-bit Wine where the machine cannot execute 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_mingw x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
