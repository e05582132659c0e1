#include "platform/posix/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/framework.h"
#include "platform/posix/encoding.h"

namespace posix {

namespace {

bool InStickyFolder(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st;
  return stat(folder.c_str(), &st) != 0 || (st.st_mode & S_ISVTX) != 0;
}

// Control characters (a newline in a staged name, say) as \xNN, so that one
// step stays one line and no name can shape lines of its own.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return out;
}

}  // namespace

LogFile::LogFile() {
  const char* name = std::getenv(kDiagnosticLogVariable);
  if (name == nullptr || *name == '\0') return;
  // Never through a symbolic link and never truncated: an updater run by an
  // administrator must not be led to write into a file another user pointed
  // a link at. Not blocking, so that a FIFO cannot hold the run at the open;
  // and only a regular file is kept, so that no write can block it later.
  // Close-on-exec, so that the host does not inherit it.
  const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return;
  // Nor through a second name (a hard link), nor into another user's file
  // in a folder where anyone may put files (sticky, as /tmp): such a file
  // may be a link or a trap another user made for a run of root's.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      (st.st_uid != geteuid() && InStickyFolder(name))) {
    close(fd);
    return;
  }
  if (fd > 2) {
    fd_ = fd;
    return;
  }
  // With a standard descriptor closed, the log would take its number, and
  // what is meant for standard error would land in the log.
  fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
}

LogFile::~LogFile() {
  if (fd_ >= 0) close(fd_);
}

void LogFile::WriteLine(const AnsiString& start, const AnsiString& tailIn936) {
  if (fd_ < 0) return;
  // The logic's code page here is 936 itself.
  const AnsiString line = start + tailIn936;
  std::string utf8;
  if (!AnsiToUtf8(line, &utf8)) {
    // Bytes that are no character: each non-ASCII byte as a question mark,
    // so that the log stays valid UTF-8.
    utf8 = line;
    for (char& c : utf8)
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  const std::string out = FormatAnsi("[%ld] %s\n", static_cast<long>(getpid()), Escaped(utf8).c_str());
  for (std::size_t done = 0; done < out.size();) {
    const ssize_t n = write(fd_, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace posix
