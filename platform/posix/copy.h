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

// Opens `name` in the folder `dirFd` for reading, links followed, when it is
// a regular file; returns 0 and sets *fd and *st, or returns errno (EISDIR for
// a folder, EINVAL for a FIFO, device or socket). Never waits for a FIFO's
// writer or a device.
int OpenRegularFile(int dirFd, const std::string& name, int* fd, struct stat* st);

// Copies the open regular file `in`, whose status is `st`, to `name` in the
// folder `dirFd`, creating it or replacing what is there: the content goes to
// a temporary of this run's own beside it, is flushed and renamed into place,
// and the folder is flushed. On failure the target is as it was and the
// temporary is gone. Returns 0 or errno.
int CopyIntoFolder(int in, const struct stat& st, int dirFd, const std::string& name);

}  // namespace posix
