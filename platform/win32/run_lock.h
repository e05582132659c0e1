// One updater at a time per application folder.
//
// The process entry takes the lock before the start-up goes on. A second
// updater on the same folder (a host started twice, a double click) waits
// there until the first has ended, then runs its own pass on whatever the
// first left, and relaunches as usual. The first waits for nothing, so its
// pass still begins at once.
//
// The lock is a mutex named after the folder's identity on its volume (the
// volume's serial number and the folder's file index), so every path to the
// folder names the same lock: any letter case, a short name, another drive
// letter or share (a file system that numbers no folders, as some network
// ones, gives every folder on it the same lock: unrelated updaters there
// then wait for each other, and lose nothing). The system releases it when its holder ends in any way,
// killed included (the next owner finds it abandoned, which still makes it
// the owner), and the host program, started through the shell, never
// inherits it. The mutex has no access list, so an updater of any user can
// wait for it; one made by an updater of another kind, which refuses a
// user, leaves that user's updater going on without the lock.
#pragma once

#include "platform/ansi_text.h"

namespace win32 {

// Takes the lock on the application folder `folder`, waiting while another
// process holds it, and keeps it until the process ends. False when the
// folder or the mutex cannot be opened; the run then goes on without it.
bool LockApplicationFolder(const AnsiString& folder);

}  // namespace win32
