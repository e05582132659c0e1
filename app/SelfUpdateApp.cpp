#include "app/SelfUpdateApp.h"

#include "update/ApplyStagedFiles.h"

// The one application object, constructed during static initialisation and
// found by the framework's main routine through AfxGetApp().
CSelfUpdateApp theApp;

namespace {

// How long an updater waits for another one of the same folder to end: long
// enough for a first updater's pass, short enough that a user who started the
// application sees it come back when the first is stuck (its message left
// open in another session, say).
constexpr unsigned kLockRetryMilliseconds = 100;
constexpr int kLockRetries = 300;  // 30 seconds

// Takes the folder's run lock, waiting a bounded time while another updater
// holds it. Returns whether the pass may run: also without the lock when the
// lock cannot be had at all (a file system without locks, say), as the pass
// then is as safe as it ever was; not after waiting in vain, and not when
// another updater holds it and nothing is staged, which is nothing to wait
// for. Sets *held when this run holds the lock, and *exitCode when the run
// must end with another code.
bool TakeRunLock(PlatformServices& os, const AnsiString& appFolder, bool* held, int* exitCode) {
  // Any failure but "no lock here at all" is waited out: a lock file that
  // cannot serve is never a reason to run beside another updater.
  const auto mustWait = [](const OpResult& r) { return !r.ok && r.kind != ErrorKind::kUnsupported; };
  OpResult lock = os.LockApplicationFolder(appFolder);
  if (mustWait(lock)) {
    if (!AnyStagedFile(os)) return false;
    for (int i = 0; i < kLockRetries && mustWait(lock); ++i) {
      os.Pause(kLockRetryMilliseconds);
      lock = os.LockApplicationFolder(appFolder);
    }
    // The staged files stay for a later start; the host still comes back.
    if (mustWait(lock)) {
      *exitCode = kExitFolderBusy;
      return false;
    }
  }
  *held = lock.ok;
  return true;
}

}  // namespace

bool CSelfUpdateApp::InitInstance() {
  PlatformServices& os = Services();
  const AnsiString hostProgramName = HostProgramNameFrom(Arguments());
  const AnsiString appFolder = ApplicationFolder(os);
  exitCode_ = kExitSuccess;
  // One updater per folder at a time. Only the lock's holder knows that no
  // other run is using a copy temporary, so only it clears what killed runs
  // left.
  bool held = false;
  const bool mayRun = TakeRunLock(os, appFolder, &held, &exitCode_);
  if (held) os.RemoveLeftTemporaries(appFolder);
  // The pass runs whether or not a host was named, and the host is started
  // whether or not the pass succeeded or ran, after any message has been
  // closed. A staged file's path this system cannot reach (too long even in
  // a short form) would fail its copy, with the message, on every start:
  // such a run is refused as one with an unusable own path is, before
  // anything changes. A host's path that long is no reason to hold back the
  // update: no form of it could be started either way.
  if (mayRun && !ApplyStagedFiles(os)) return RefusePathTooLong();
  if (!hostProgramName.empty()) LaunchHostProgram(os, hostProgramName);
  return false;
}

bool CSelfUpdateApp::RefusePathTooLong() {
  Services().ReportStartupRefusal("a staged file's path is too long for this system");
  OwnPathRefused();
  exitCode_ = kExitOwnPathRefused;
  return false;
}

void CSelfUpdateApp::OwnPathRefused() {
  // The user started the application, not an update: it comes back even
  // when no update can run.
  const AnsiString hostProgramName = HostProgramNameFrom(Arguments());
  if (!hostProgramName.empty()) Services().LaunchBesideSelf(hostProgramName);
}

int CSelfUpdateApp::ExitInstance() {
  const int base = CWinApp::ExitInstance();
  return exitCode_ != kExitSuccess ? exitCode_ : base;
}

AnsiString HostProgramNameFrom(const std::vector<AnsiString>& argv) {
  // Only the first argument is looked at; later ones are ignored whatever
  // they hold, and only the one leading option byte is removed.
  if (argv.size() >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) return argv[1].substr(1);
  return AnsiString();
}

void LaunchHostProgram(PlatformServices& os, const AnsiString& hostProgramName) {
  // The whole folder, never one cut to a fixed buffer: a shortened folder
  // would start nothing, or something else.
  (void)os.ShellOpen(ApplicationFolder(os) + hostProgramName);
}
