/* One of the sample application's libraries (Core.dll, Extra.dll): it only
   reports the version it was built as, so the application can say whether
   what it loaded is one complete version. */
#include <windows.h>

#ifndef SAMPLE_VERSION
#error "build with -DSAMPLE_VERSION=N"
#endif

__declspec(dllexport) int LibraryVersion(void) { return SAMPLE_VERSION; }
