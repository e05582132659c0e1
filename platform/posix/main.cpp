// The process entry on POSIX: the arguments arrive already split, so they are
// taken as they come, converted to the logic's code page.
#include <signal.h>

#include <exception>
#include <vector>

#include "platform/framework.h"
#include "platform/posix/encoding.h"
#include "platform/posix/log_file.h"
#include "platform/posix/posix_services.h"

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
  static posix::PosixServices services;
  std::set_terminate([] { services.EndAbnormally(); });
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
  return RunProcess(services, log.IsOpen() ? &log : nullptr, std::move(args));
}
