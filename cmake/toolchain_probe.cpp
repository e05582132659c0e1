// Preprocessed only, at configure time, for the version macros of the
// compiler, its C++ library and the mingw-w64 runtime (see
// platform/win32/CMakeLists.txt).
#include <cstdio>
#include <string>
