// One updater at a time per application folder.
//
// The lock is a file of its own in the application folder, kRunLockName,
// locked with an open-file-description write lock (F_OFD_SETLK) through a
// descriptor opened for writing. Only a process that may change the folder
// can take it or stand in its way: the file is created with no read bits at
// all and with write bits only for those the folder itself lets write, so a
// process that can only read the folder cannot open it, and can neither hold
// it nor block it with a read lock. A lock anybody takes on the folder itself
// or on the host's own files is no concern of it, so a host that holds one
// and then execs the updater does not stop it.
//
// The kernel releases the lock when its holder ends in any way, killed
// included; the descriptor is closed on exec, so a started host program never
// holds it. A run that ends normally removes the file while it still holds
// it, as the Windows build's goes with its run. That is safe for any other
// updater: one that locked the file before it went finds no file, or another
// one, at the name when it checks, and tries again on what is there then.
#pragma once

#include <sys/types.h>

#include <string>

namespace posix {

// The lock file's name, in the application folder.
extern const char kRunLockName[];

class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock of the folder open as `folderFd` once, without waiting.
  // Returns 0 when this object holds it (again, for the same folder),
  // EWOULDBLOCK when another holder has it, or the errno that kept it from
  // being tried (no right to create or open the file, a file system without
  // locks, something other than a regular file at the name).
  int TryLock(int folderFd);

  // Whether this object holds the lock of the folder with this identity.
  bool Holds(dev_t device, ino_t inode) const;

  // Removes the lock's file from the folder open as `folderFd`, which must
  // be the one locked, while still holding it, then lets it go. Only the
  // very file this object locked is removed. Nothing when nothing is held.
  void Release(int folderFd);

 private:
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace posix
