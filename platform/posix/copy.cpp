// The copy that puts a new version in place. It must never leave a partial
// file at the target (the backup could then not be renamed back) and must not
// report success before the new content is on disk (the staged copy is deleted
// right after). So: write a temporary file beside the target, flush it, rename
// it over the target, flush the folder.
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/posix/posix_services.h"

namespace posix {
namespace {

// Temporary names start with this; the update pass never applies such a
// name, and a leftover from a killed run is recognisable.
const char kTemporaryPrefix[] = ".selfupdate-";
const char kTemporarySuffix[] = ".tmp";
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
  // Closes now and reports the error close() gives, which for some file
  // systems is the first sign of a failed write.
  int CloseChecked() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0 ? 0 : errno;
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
      const ssize_t n = copy_file_range(in, nullptr, out, nullptr, kRangeChunk, 0);
      if (n > 0) {
        copied += n;
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

// The temporary for a target: named after it, so a run killed in the middle
// of a copy leaves at most one per file, and the next copy of that file (the
// run after it applies the same staged file again) clears it away. Empty when
// the name would be too long for the file system.
std::string TemporaryFor(const std::string& folder, const std::string& targetName) {
  const std::string name = kTemporaryPrefix + targetName + kTemporarySuffix;
  return name.size() <= NAME_MAX ? folder + name : std::string();
}

// Any other free temporary name in `folder`.
std::string TemporaryNameIn(const std::string& folder) {
  // A child forked later inherits the number; O_EXCL and the retry below
  // keep the names apart all the same.
  static const std::string process = std::to_string(getpid()) + "-";
  static std::atomic<unsigned> counter{0};
  return folder + kTemporaryPrefix + process + std::to_string(counter++);
}

}  // namespace

int CopyNativeFileOver(const std::string& from, const std::string& to) {
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno;
  struct stat st;
  if (fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EISDIR;

  const std::size_t slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : to.substr(0, slash + 1);
  Fd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;

  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  std::string temporary = TemporaryFor(folder, slash == std::string::npos ? to : to.substr(slash + 1));
  Fd out;
  if (!temporary.empty()) {
    // A leftover of a killed run goes first; anything that cannot be removed
    // (a folder, say) stays, and another name is used.
    unlink(temporary.c_str());
    out.reset(open(temporary.c_str(), kCreate, 0600));
  }
  for (int attempt = 0; out.get() < 0; ++attempt) {
    temporary = TemporaryNameIn(folder);
    out.reset(open(temporary.c_str(), kCreate, 0600));
    if (out.get() < 0 && (errno != EEXIST || attempt >= 100)) return errno;
  }

  int err = CopyContent(in.get(), st, out.get());
  // The staged program's permission bits (its execute bit above all) carry
  // over; set-id bits do not.
  if (err == 0 && fchmod(out.get(), st.st_mode & 0777) != 0) err = errno;
  if (err == 0 && fsync(out.get()) != 0) err = errno;
  if (err == 0) err = out.CloseChecked();
  // A folder at the target makes this fail with EISDIR, so the folder stays.
  if (err == 0 && rename(temporary.c_str(), to.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());
    return err;
  }
  // The rename is only durable once the folder is flushed.
  if (fsync(dir.get()) != 0) return errno;
  return 0;
}

}  // namespace posix
