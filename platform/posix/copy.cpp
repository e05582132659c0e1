// The copy that puts a new version in place. It must never leave a partial
// file at the target (the backup could then not be renamed back) and must not
// report success before the new content is on disk (the staged copy is deleted
// right after). So: write a temporary file beside the target, flush it, rename
// it over the target, flush the folder.
//
// Every temporary has a name of its own run's making, created exclusively, so
// two runs never share one, and a run only ever removes its own; what a
// killed run left is cleared by the services, under the run lock.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/copy.h"

namespace posix {
namespace {

constexpr char kTemporaryPrefix[] = ".selfupdate-";

constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::size_t kRangeChunk = std::size_t{1} << 30;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// How the content is moved, fastest first. Each way is given up only on the
// errors that mean "not available for these two files"; anything else (no
// space, an I/O error, a quota) is the copy's failure.
//
// A clone shares the source's blocks (Btrfs, XFS, bcachefs and others), which
// costs the same for any size. ENOTTY and EINVAL come from file systems that
// do not know the request; EBADF from older kernels on such file systems
// (both descriptors are right, so it cannot mean anything else); EXDEV from
// two file systems; EPERM from a sandbox that refuses the call.
bool CloneUnsupported(int err) {
  return err == EOPNOTSUPP || err == ENOTSUP || err == ENOTTY || err == EINVAL || err == EBADF ||
         err == EXDEV || err == ENOSYS || err == EPERM;
}

// copy_file_range lets the kernel move the data without passing it through
// the process. Older kernels refuse two file systems (EXDEV) or some files
// (EINVAL, EOPNOTSUPP); ENOSYS and EPERM mean the call itself is missing or
// refused. A real EPERM (an immutable file) is met again by the writes.
bool RangeCopyUnsupported(int err) {
  return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP ||
         err == EPERM;
}

// What one file has shown about the ways after it, so they are not tried in
// vain for every file. A clone is only possible within one file system, so a
// file system that cannot clone at all (not just this pair of files) is
// remembered by its device; a kernel without copy_file_range, for good.
bool CloneNeverWorks(int err) {
  return err == EOPNOTSUPP || err == ENOTSUP || err == ENOTTY || err == EBADF || err == ENOSYS;
}
struct Learned {
  bool cloneFailed = false;
  dev_t noCloneDevice = 0;
  bool noRangeCopy = false;
};
Learned g_learned;

int ReadWrite(int in, int out) {
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
  }
}

// Copies all of `in` (a regular file described by `st`) into the empty file
// `out`.
int CopyContent(int in, const struct stat& st, int out) {
  if (!g_learned.cloneFailed || g_learned.noCloneDevice != st.st_dev) {
    if (ioctl(out, FICLONE, in) == 0) return 0;
    const int err = errno;
    if (!CloneUnsupported(err)) return err;
    if (CloneNeverWorks(err)) {
      g_learned.cloneFailed = true;
      g_learned.noCloneDevice = st.st_dev;
    }
  }
  if (!g_learned.noRangeCopy) {
    off_t copied = 0;
    for (;;) {
      // The size the file had when opened is what is copied: a call past it
      // would only find the end. A file that reports no size is copied up to
      // the end it shows.
      const off_t left = st.st_size - copied;
      const std::size_t ask = left > 0 && static_cast<std::size_t>(left) < kRangeChunk
                                  ? static_cast<std::size_t>(left)
                                  : kRangeChunk;
      const ssize_t n = copy_file_range(in, nullptr, out, nullptr, ask, 0);
      if (n > 0) {
        copied += n;
        if (st.st_size > 0 && copied >= st.st_size) return 0;
        continue;
      }
      if (n == 0) {
        // Some special files report a size but give nothing this way; their
        // content is read instead.
        if (copied == 0 && st.st_size > 0) break;
        return 0;
      }
      if (errno == EINTR) continue;
      // Once data has moved the file offsets have too; no other way can
      // take over from there.
      if (copied > 0 || !RangeCopyUnsupported(errno)) return errno;
      if (errno == ENOSYS) g_learned.noRangeCopy = true;
      break;
    }
  }
  return ReadWrite(in, out);
}

// A fresh temporary name. The process number keeps runs apart and the
// counter keeps one run's apart; a name left by a dead process that had the
// same number is skipped by the exclusive creation.
std::string TemporaryName() {
  static const std::string process = kTemporaryPrefix + std::to_string(getpid()) + "-";
  static unsigned counter = 0;
  return process + std::to_string(counter++);
}

// The permission bits a new file gets from the mode it is created with.
mode_t CreationMask() {
  static const mode_t mask = [] {
    const mode_t m = umask(0);
    umask(m);
    return m;
  }();
  return mask;
}

}  // namespace

bool IsTemporaryName(const std::string& name) {
  // The prefix, digits, a dash, digits: exactly what TemporaryName() makes.
  const std::size_t prefix = sizeof kTemporaryPrefix - 1;
  if (name.compare(0, prefix, kTemporaryPrefix) != 0) return false;
  const std::size_t dash = name.find('-', prefix);
  auto digits = [&](std::size_t from, std::size_t to) {
    return from < to && name.find_first_not_of("0123456789", from) >= to;
  };
  return dash != std::string::npos && digits(prefix, dash) && digits(dash + 1, name.size());
}

bool MadeByLiveProcess(const std::string& name) {
  if (!IsTemporaryName(name)) return false;
  const std::size_t digits = sizeof kTemporaryPrefix - 1;
  const std::string number = name.substr(digits, name.find('-', digits) - digits);
  if (number.size() > 9) return false;  // no process number is that large
  const pid_t pid = static_cast<pid_t>(std::stol(number));
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

int OpenRegularFile(int dirFd, const std::string& name, int* fd, struct stat* st) {
  // Opened without waiting: a FIFO opens at once this way, where a plain
  // open would wait for a writer forever. Only a regular file is read. A
  // link is not followed: whoever may write the staging folder could
  // otherwise have the updater copy a file they may not read themselves to
  // where they can.
  const int in = openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return errno;
  int err = 0;
  if (fstat(in, st) != 0)
    err = errno;
  else if (!S_ISREG(st->st_mode))
    err = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
  if (err != 0) {
    close(in);
    return err;
  }
  *fd = in;
  return 0;
}

bool SameBytes(int a, int b, off_t size) {
  char bufferA[16384], bufferB[16384];
  for (off_t at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(size - at, sizeof bufferA));
    const ssize_t gotA = pread(a, bufferA, want, at);
    if (gotA <= 0) return false;
    // The second file is read to the length the first gave, however its
    // reads come.
    for (ssize_t gotB = 0; gotB < gotA;) {
      const ssize_t n = pread(b, bufferB + gotB, static_cast<size_t>(gotA - gotB), at + gotB);
      if (n <= 0) return false;
      gotB += n;
    }
    if (std::memcmp(bufferA, bufferB, static_cast<size_t>(gotA)) != 0) return false;
    at += gotA;
  }
  return true;
}

mode_t NewFileMode(const struct stat& staged) { return staged.st_mode & 0777 & ~CreationMask(); }

int CopyIntoFolder(int in, const struct stat& st, int dirFd, const std::string& name, mode_t mode,
                   const Owner& owner) {
  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  mode &= 0777;
  std::string temporary;
  Fd out;
  for (int attempt = 0; out.get() < 0; ++attempt) {
    temporary = TemporaryName();
    out.reset(openat(dirFd, temporary.c_str(), kCreate, mode));
    if (out.get() < 0 && (errno != EEXIST || attempt >= 100)) return errno;
  }

  // Before the bits are set: giving a file away may clear some of them.
  if (owner.uid != static_cast<uid_t>(-1)) (void)fchown(out.get(), owner.uid, owner.gid);
  int err = CopyContent(in, st, out.get());
  // The creation took the umask's bits away; bits kept from the version in
  // place are put back.
  if (err == 0 && (mode & CreationMask()) != 0 && fchmod(out.get(), mode) != 0) err = errno;
  if (err == 0 && fsync(out.get()) != 0) err = errno;
  // A folder at the target makes this fail with EISDIR, so the folder stays.
  if (err == 0 && renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) err = errno;
  if (err != 0) {
    unlinkat(dirFd, temporary.c_str(), 0);
    return err;
  }
  // The rename is only durable once the folder is flushed. A folder open
  // only as a path (one the process may enter but not list) cannot be
  // flushed (EBADF), nor can folders on some file systems (EINVAL); flushing
  // the whole file system through the new file is the barrier there. From
  // here on the new version is in place: a failure now is no failed copy,
  // since rolling it back would be no more durable than keeping it.
  if (fsync(dirFd) != 0) syncfs(out.get());
  // The file was flushed before the rename, so closing it has nothing left
  // to write that could fail.
  out.reset(-1);
  return 0;
}

}  // namespace posix
