# Cross-compiling for 32-bit Windows with Debian's mingw-w64 i686 compilers:
# the build that is shipped.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
