// The POSIX platform: the update logic's operations on a Linux file system,
// with Windows semantics where the logic relies on them (names found without
// regard to case, renames that never replace, copies that replace). Which
// native name an operation acts on follows the rule in case_resolution.h.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/case_resolution.h"
#include "platform/posix/encoding.h"
#include "platform/posix/run_lock.h"
#include "platform/services.h"

namespace posix {

class PosixServices : public PlatformServices {
 public:
  // The logic's code page here is 936 itself (see encoding.h).
  PosixServices() : PlatformServices(LogicCodePage()) {}
  // Read once, at the first call; every later call returns that same answer
  // (an empty one included), so the start-up's check, the pass and the
  // relaunch all work from one reading.
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  bool PathExists(const AnsiString& path, PathStatus* status) override;
  bool SameContent(const AnsiString& a, const AnsiString& b) override;
  // Always: every operation works on a name within an open folder, so only a
  // single name's length is limited, and that is each operation's own
  // failure (kNameTooLong).
  bool PathFits(const AnsiString&) override { return true; }
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  // Atomic and durable (see copy.h). Only a regular file is copied; a FIFO,
  // device or symbolic link is refused without being read or waited on. The
  // new file keeps the mode bits of the file it replaces, or `replaced`;
  // otherwise it gets the staged file's less the umask. Run by root, it also
  // keeps that file's owner and group, and a file new to the folder takes
  // the folder's: an administrator's update leaves the folder to its owner.
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override;
  // fsync of the folder; where a folder cannot be flushed (one open only as
  // a path, or on a file system that refuses), its whole file system.
  OpResult FlushFolder(const AnsiString& folder) override;
  // See run_lock.h.
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  // Removes the lock's file and lets the lock go (see RunLock::Release); for
  // the process entry, once the run is over.
  void ReleaseApplicationFolder();
  void Pause(unsigned milliseconds) override;
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  // Written to standard error as UTF-8 (quietly nothing when nobody reads
  // it); also shown as a modal desktop dialog when a graphical session and a
  // dialog program are available.
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  // An executable file is started directly, detached in a new session; any
  // other existing file is handed to xdg-open; a missing path starts nothing.
  OpResult ShellOpen(const AnsiString& path) override;
  // The name converted to UTF-8 with slashes, in the folder of the very
  // executable ModulePath read, whatever bytes that folder's name holds.
  void LaunchBesideSelf(const AnsiString& name) override;
  // One line on standard error.
  void ReportStartupRefusal(const char* reason) override;

 private:
  // A logic path as an open folder and a native name in it (empty for the
  // folder itself).
  struct Place {
    std::shared_ptr<Folder> folder;
    std::string name;
  };
  // 0, or the errno of a path that cannot be translated or whose folder
  // cannot be found.
  int Locate(const AnsiString& logic, Place* place);
  void Remember(const AnsiString& logic, const Place& place);
  // ShellOpen's work once the path is native.
  OpResult OpenNative(std::string native);

  CaseResolver names_;
  // Folders Locate found, by their logic form up to and including the last
  // backslash.
  struct LocatedFolder {
    AnsiString logic;
    std::shared_ptr<Folder> folder;
  };
  static constexpr std::size_t kLocatedFolders = 4;
  std::vector<LocatedFolder> located_;
  RunLock lock_;
  std::shared_ptr<Folder> locked_;  // the folder lock_ holds the lock of
  bool moduleRead_ = false;
  AnsiString modulePath_;
  std::string moduleNative_;  // as the system gave it; empty when unread
};

// Starts `argv[0]` (searched in PATH when it has no slash) detached in its own
// session with standard input from /dev/null, without waiting. When `wait` is
// true it waits instead, for a modal dialog. Returns 0, or the error that kept
// it from being started.
int Spawn(const char* const argv[], bool wait);

// Says so on standard error and exits with kExitUncaughtException at once.
[[noreturn]] void EndAbnormally();

// A failure with the errno `err`, classified.
OpResult Failure(int err);

// The full path of `program` found in PATH; empty when not found.
std::string FindInPath(const std::string& program);

}  // namespace posix
