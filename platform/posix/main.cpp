// The process entry on POSIX: the arguments arrive already split, so they are
// taken as they come, converted to the logic's code page.
#include <signal.h>

#include <exception>
#include <vector>

#include "platform/framework.h"
#include "platform/posix/encoding.h"
#include "platform/posix/posix_services.h"

int main(int argc, char** argv) {
  // A host that started the updater with piped standard error and then
  // exited leaves a pipe nobody reads. Writing the failure message there
  // must fail quietly, not end the run before the relaunch.
  signal(SIGPIPE, SIG_IGN);
  static posix::PosixServices services;
  SetPlatformServices(&services);
  std::set_terminate([] { Os().EndAbnormally(); });

  std::vector<AnsiString> args;
  for (int i = 0; i < argc; ++i) {
    // An argument the logic's code page cannot hold is passed on empty, so
    // it can neither name a host program nor be mistaken for another one.
    AnsiString arg;
    if (!posix::Utf8ToAnsi(argv[i], &arg)) arg.clear();
    args.push_back(arg);
  }
  return AfxWinMain(std::move(args));
}
