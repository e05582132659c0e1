// The atomic, durable copy of the POSIX platform, on open folders.
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

// Opens `name` in the folder `dirFd` for reading when it is a regular file;
// returns 0 and sets *fd and *st, or returns errno (EISDIR for a folder,
// EINVAL for a FIFO, device or socket, ELOOP for a symbolic link, which is
// never followed). Never waits for a FIFO's writer or a device.
int OpenRegularFile(int dirFd, const std::string& name, int* fd, struct stat* st);

// The permission bits a file that replaces no version gets from the staged
// file `staged`: its own, less those the process umask removes. Set-id bits
// never carry over.
mode_t NewFileMode(const struct stat& staged);

// Copies the open regular file `in`, whose status is `st`, to `name` in the
// folder `dirFd`, creating it or replacing what is there, with the permission
// bits `mode` (0777 at most; the umask does not apply) and the process as its
// owner: the content goes to a temporary of this run's own beside it, is
// flushed and renamed into place, and the folder is flushed where that can
// be done (else the file system). On failure the target is as it was and the
// temporary is gone; once the rename is done the copy has succeeded. Returns
// 0 or errno.
int CopyIntoFolder(int in, const struct stat& st, int dirFd, const std::string& name, mode_t mode);

}  // namespace posix
