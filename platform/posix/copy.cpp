// The copy that puts a new version in place. It must never leave a partial
// file at the target (the backup could then not be renamed back) and must not
// report success before the new content is on disk (the staged copy is deleted
// right after). So: write a temporary file beside the target, flush it, rename
// it over the target, flush the folder.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/posix_services.h"

namespace posix {
namespace {

// Temporary names start with this; the update pass never applies such a
// name, and a leftover from a killed run is recognisable.
const char kTemporaryPrefix[] = ".selfupdate-";
constexpr std::size_t kBufferSize = 128 * 1024;

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

// Errors that mean "this way of copying is not available here", after which
// the plain read/write loop is used. Anything else is a real failure.
bool MeansUnsupported(int err) {
  return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP;
}

int CopyContent(int in, int out) {
  // copy_file_range lets the kernel move the data (or share extents).
  for (bool first = true;; first = false) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (!first || !MeansUnsupported(errno)) return errno;
    break;
  }
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

std::string TemporaryNameIn(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  return folder + kTemporaryPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

int CopyFileAtomic(const std::string& from, const std::string& to) {
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno;
  struct stat st;
  if (fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EISDIR;

  struct stat existing;
  if (lstat(to.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return EISDIR;

  const std::size_t slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : to.substr(0, slash + 1);
  Fd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;

  std::string temporary;
  Fd out;
  for (int attempt = 0;; ++attempt) {
    temporary = TemporaryNameIn(folder);
    out.reset(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() >= 0) break;
    if (errno != EEXIST || attempt >= 100) return errno;
  }

  int err = CopyContent(in.get(), out.get());
  // The staged program's permission bits (its execute bit above all) carry
  // over; set-id bits do not.
  if (err == 0 && fchmod(out.get(), st.st_mode & 0777) != 0) err = errno;
  if (err == 0 && fsync(out.get()) != 0) err = errno;
  if (err == 0) err = out.CloseChecked();
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
