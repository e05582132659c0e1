// The atomic, durable copy of the POSIX platform, on open folders, and the
// comparison that finds a copy made already.
#pragma once

#include <sys/stat.h>

#include <string>

namespace posix {

// Whether `name` is of the form every run gives its copy's temporaries: a
// fixed prefix, the process number and a count. The update pass never applies
// such a name (it has no extension of its own), and a leftover from a killed
// run is recognisable by it; a name that only begins like one (a vendor's own
// ".selfupdate-settings", say) is not one.
bool IsTemporaryName(const std::string& name);

// Whether the process whose number the temporary's name `name` holds may
// still be running, its copy in flight: it exists, or exists as another
// user's. False for a name that holds no such number.
bool MadeByLiveProcess(const std::string& name);

// Opens `name` in the folder `dirFd` for reading when it is a regular file;
// returns 0 and sets *fd and *st, or returns errno (EISDIR for a folder,
// EINVAL for a FIFO, device or socket, ELOOP for a symbolic link, which is
// never followed). Never waits for a FIFO's writer or a device.
int OpenRegularFile(int dirFd, const std::string& name, int* fd, struct stat* st);

// Whether the open files `a` and `b` hold the same first `size` bytes, read
// from their starts; false also when either cannot be read that far.
bool SameBytes(int a, int b, off_t size);

// The permission bits a file that replaces no version gets from the staged
// file `staged`: its own, less those the process umask removes. Set-id bits
// never carry over.
mode_t NewFileMode(const struct stat& staged);

// Who a new file is to belong to; -1 keeps what the creation gave it. Only
// root may give a file away, so only root asks for anything else.
struct Owner {
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
};

// Copies the open regular file `in`, whose status is `st`, to `name` in the
// folder `dirFd`, creating it or replacing what is there, with the permission
// bits `mode` (0777 at most; the umask does not apply) and the owner and
// group `owner` (a failure to give the file away leaves it the process's,
// as it was before such owners were kept): the
// content goes to a temporary of this run's own beside it, is
// flushed and renamed into place, and the folder is flushed where that can
// be done (else the file system). On failure the target is as it was and the
// temporary is gone; once the rename is done the copy has succeeded. Returns
// 0 or errno.
int CopyIntoFolder(int in, const struct stat& st, int dirFd, const std::string& name, mode_t mode,
                   const Owner& owner);

}  // namespace posix
