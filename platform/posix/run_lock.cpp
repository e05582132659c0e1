#include "platform/posix/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace posix {
namespace {

struct Held {
  bool held = false;
  dev_t device = 0;
  ino_t inode = 0;
};
Held g_lock;

}  // namespace

bool LockApplicationFolder(const std::string& nativeFolder) {
  // Deliberately never closed: the lock lasts as long as the process.
  const int fd = open(nativeFolder.empty() ? "." : nativeFolder.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  int r;
  while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (r != 0 || fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  g_lock = {true, st.st_dev, st.st_ino};
  return true;
}

bool HoldsApplicationLock(dev_t device, ino_t inode) {
  return g_lock.held && g_lock.device == device && g_lock.inode == inode;
}

}  // namespace posix
