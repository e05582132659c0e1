// The POSIX platform: the update logic's operations on a Linux file system,
// with Windows semantics where the logic relies on them (names found without
// regard to case, renames that never replace, copies that replace).
#pragma once

#include "platform/services.h"

namespace posix {

class PosixServices : public PlatformServices {
 public:
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  bool PathExists(const AnsiString& path) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  // Atomic and durable: the content goes to a temporary file beside the
  // target, is flushed, and is renamed into place, and the folder is flushed.
  // A failure leaves the target as it was and no temporary behind.
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to) override;
  // Written to standard error as UTF-8; also shown as a modal desktop dialog
  // when a graphical session and a dialog program are available.
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  // An executable file is started directly, detached in a new session; any
  // other existing file is handed to xdg-open; a missing path starts nothing.
  void ShellOpen(const AnsiString& path) override;
  // POSIX has no system error boxes to suppress.
  void AddErrorMode(unsigned flags) override;
  // One line on standard error.
  void ReportStartupRefusal(const char* reason) override;
  // Says so on standard error and exits with kExitUncaughtException.
  [[noreturn]] void EndAbnormally() override;
};

// CopyFileOver on native paths. Returns 0 or errno.
int CopyNativeFileOver(const std::string& from, const std::string& to);

// Starts `argv[0]` (searched in PATH when it has no slash) detached in its own
// session with standard input from /dev/null, without waiting. When `wait` is
// true it waits instead, for a modal dialog. Returns false when it could not
// be started.
bool Spawn(const char* const argv[], bool wait);

// The full path of `program` found in PATH; empty when not found.
std::string FindInPath(const std::string& program);

}  // namespace posix
