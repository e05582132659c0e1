// One updater at a time per application folder.
//
// The lock is a file of its own in the application folder, kRunLockName,
// opened for writing and shared with nobody, and deleted when its holder's
// handle closes. Only a process that may change the folder can take it: it
// must create or open the file for writing. Nobody else can stand in its way
// either: while an updater holds it, no one can open it, for reading or
// otherwise; while none does, it does not exist, so there is nothing to hold
// open. No named object is involved, whose security anyone could rewrite or
// whose name anyone could take first.
//
// The system closes the handle when its holder ends in any way, killed
// included, and the host program, started through the shell, never inherits
// it. A file left by a holder that died with the system stays (the delete on
// close never ran); it is opened and locked like a new one, its read-only
// attribute lifted first if it has one.
#pragma once

#include "platform/ansi_text.h"

namespace win32 {

// The lock file's name, in the application folder.
extern const char kRunLockName[];

// Takes the lock of `folder` (ending in a backslash) once, without waiting,
// and holds it until the process ends. Returns 0, or the system's error:
// ERROR_SHARING_VIOLATION while another process holds it, another code when
// it cannot be had at all. Taking it again from the same process succeeds.
unsigned long LockApplicationFolder(const AnsiString& folder);

}  // namespace win32
