#include "platform/posix/run_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace posix {

const char kRunLockName[] = "SelfUpdate.lock";

namespace {

// Write bits for those the folder lets write, never a read bit: whoever may
// write the folder may take the lock; nobody else may even open the file.
mode_t LockFileMode(const struct stat& folder) {
  return S_IWUSR | (folder.st_mode & S_IWGRP) | (folder.st_mode & S_IWOTH);
}

int Fail(int fd) {
  const int err = errno;
  close(fd);
  return err;
}

}  // namespace

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

int RunLock::TryLock(int folderFd) {
  struct stat folder;
  if (fstat(folderFd, &folder) != 0) return errno;
  if (fd_ >= 0) {
    if (Holds(folder.st_dev, folder.st_ino)) return 0;
    close(fd_);
    fd_ = -1;
  }
  // O_NONBLOCK: a FIFO planted at the name must not hold the start-up up;
  // O_NOFOLLOW: nor may a link lead the lock (and its mode) elsewhere.
  const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  // Made with its final mode in one step, no umask taking a bit away: a
  // file of mode 0 for a moment would turn another updater away.
  const mode_t mask = umask(0);
  int fd = openat(folderFd, kRunLockName, flags | O_CREAT | O_EXCL, LockFileMode(folder));
  umask(mask);
  if (fd < 0 && errno == EEXIST) fd = openat(folderFd, kRunLockName, flags);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(fd);
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return EINVAL;
  }
  // The folder's owner must be able to take the lock after root has made or
  // used it: a lock file of root's, with no read bits, is one its owner
  // cannot open. Mended here too when an earlier root run left it so.
  if (geteuid() == 0 && (st.st_uid != folder.st_uid || st.st_gid != folder.st_gid))
    (void)fchown(fd, folder.st_uid, folder.st_gid);

  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    const int err = errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
    close(fd);
    return err;
  }
  // A lock file replaced since it was opened locks nothing that the next
  // updater would look at: try again on the one now there.
  struct stat now;
  if (fstatat(folderFd, kRunLockName, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
      now.st_ino != st.st_ino) {
    close(fd);
    return EWOULDBLOCK;
  }
  fd_ = fd;
  device_ = folder.st_dev;
  inode_ = folder.st_ino;
  return 0;
}

void RunLock::Release(int folderFd) {
  if (fd_ < 0) return;
  struct stat mine, there;
  if (fstat(fd_, &mine) == 0 && fstatat(folderFd, kRunLockName, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      mine.st_dev == there.st_dev && mine.st_ino == there.st_ino)
    (void)unlinkat(folderFd, kRunLockName, 0);
  close(fd_);
  fd_ = -1;
}

bool RunLock::Holds(dev_t device, ino_t inode) const {
  return fd_ >= 0 && device_ == device && inode_ == inode;
}

}  // namespace posix
