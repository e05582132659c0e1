// The Windows platform: each operation of the update logic on the Win32 call
// that carries it, ANSI ("A") entry points throughout, so paths stay byte
// strings in the system code page. No Windows header here, so the tests and
// the entry can include it freely.
#pragma once

#include "platform/services.h"

namespace win32 {

class Win32Services : public PlatformServices {
 public:
  const CodePage& ActiveCodePage() override;
  // Read once, at the first call; every later call returns that same answer
  // (an empty one included). A running program may be renamed on Windows, so
  // a second reading could name another folder than the one locked and
  // searched.
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  bool PathExists(const AnsiString& path) override;
  // A read-only file is removed too: its attribute is lifted first, and put
  // back if the delete still fails. The update removes only files it is done
  // with (an older backup, a staged copy just applied), and a read-only one
  // must not make it fail or apply the same file again on every run.
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  // Atomic and durable: CopyFileA writes a temporary file of this run's own
  // beside the target (so attributes, streams and security travel as the
  // copy gives them), the temporary is flushed to disk, and MoveFileExA
  // renames it over the target, writing the rename through. The target then
  // holds the old file or the whole new one, never part of it, whether the
  // process is killed, the power goes or the disk fills; a failure removes
  // the temporary. Success is reported only once the new version is on disk:
  // the staged copy is deleted right afterwards. A read-only file at the
  // target is not replaced (the rename fails, as Windows refuses it).
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to) override;
  // See run_lock.h.
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  void Pause(unsigned milliseconds) override;
  // Also read-only ones; see RemoveFile.
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void ShellOpen(const AnsiString& path) override;
  void AddErrorMode(unsigned flags) override;
  // Windows keeps no place for a GUI program's words but the debugger's.
  void ReportStartupRefusal(const char* reason) override;
  [[noreturn]] void EndAbnormally() override;

 private:
  AnsiString ReadModulePath();
  bool modulePathRead_ = false;
  AnsiString modulePath_;
};

// Ends the process with kExitUncaughtException at once, without a word (a GUI
// program has no console to write to). Also for the runtime's stand-ins,
// which may run before any services exist.
[[noreturn]] void EndAbnormally();

}  // namespace win32
