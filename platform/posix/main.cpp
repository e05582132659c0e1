// The process entry on POSIX: the arguments arrive already split, so they are
// taken as they come, converted to the logic's code page.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <exception>
#include <vector>

#include "platform/framework.h"
#include "platform/posix/encoding.h"
#include "platform/posix/log_file.h"
#include "platform/posix/posix_services.h"

namespace {

// Descriptors 0 to 2 closed by whoever started the updater are opened again
// before anything else is, on /dev/null, or where there is none, on a pipe
// that reads as empty and whose writes fail quietly. Otherwise the next file
// opened takes the number: the lock file as standard error would receive
// the failure message.
void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is `fd` itself: those below are open by now.
    if (open("/dev/null", O_RDWR) == fd) continue;
    int ends[2];
    if (pipe(ends) != 0) return;
    if (fd == 0) {
      close(ends[1]);  // the read end is 0, and finds the end at once
      continue;
    }
    dup2(ends[1], fd);  // in place of the read end, which goes with it
    close(ends[1]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // No signal the run's own actions raise may end it half-way; ignored, each
  // becomes the failing call's error instead. A host that started the
  // updater with piped standard error and then exited leaves a pipe nobody
  // reads: writing the failure message there fails quietly (SIGPIPE). A
  // file-size limit (ulimit -f) makes the copy's write fail with EFBIG, an
  // ordinary failed copy that is rolled back (SIGXFSZ). Every program the
  // updater starts gets the default actions back (see Spawn).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  OpenStandardDescriptors();
  // Never destroyed: what it holds (the folders' names, open descriptors)
  // goes with the process, and tearing down thousands of names at exit
  // would only delay the relaunched host's folder being free.
  static posix::PosixServices& services = *new posix::PosixServices;
  // Off unless SELFUPDATE_LOG names a file: then every step is noted there.
  static posix::LogFile log;

  std::vector<AnsiString> args;
  for (int i = 0; i < argc; ++i) {
    // An argument the logic's code page cannot hold is passed on empty, so
    // it can neither name a host program nor be mistaken for another one.
    AnsiString arg;
    if (!posix::Utf8ToAnsi(argv[i], &arg)) arg.clear();
    args.push_back(arg);
  }
  const int code = RunProcess(services, log.IsOpen() ? &log : nullptr, std::move(args), posix::EndAbnormally);
  services.ReleaseApplicationFolder();
  return code;
}
