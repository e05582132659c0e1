// One updater at a time per application folder.
//
// The process entry takes an exclusive flock on the application folder
// itself (the folder always exists while the updater runs from it, where the
// staging folder may not) before the start-up goes on. A second updater on
// the same folder waits in that call until the first has ended, then runs
// its own pass on whatever the first left, and relaunches as usual. The first
// waits for nothing, so its pass still begins at once. The kernel releases
// the lock when its holder ends in any way, killed included, and the
// descriptor is closed on exec, so a started host program never holds it.
//
// While it is held, no other updater of the folder is running, so whatever
// copy temporaries the folder holds were left by killed runs and may go.
#pragma once

#include <sys/types.h>

#include <string>

namespace posix {

// Takes the lock on `nativeFolder`, waiting while another process holds it,
// and keeps it until the process ends. False when the folder cannot be opened
// or its file system cannot lock; the run then goes on without the lock.
bool LockApplicationFolder(const std::string& nativeFolder);

// Whether this process holds the lock on the folder with this identity.
bool HoldsApplicationLock(dev_t device, ino_t inode);

}  // namespace posix
