// The Windows platform: each operation of the update logic on the Win32 call
// that carries it, ANSI ("A") entry points throughout, so paths stay byte
// strings in the system code page. No Windows header here, so the tests and
// the entry can include it freely.
#pragma once

#include "platform/services.h"

namespace win32 {

class Win32Services : public PlatformServices {
 public:
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  bool PathExists(const AnsiString& path) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  // CopyFileA, then the new file is flushed to disk before success is
  // reported: the staged copy is deleted right afterwards, and until the
  // flush it may be the only durable copy of the new version.
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void ShellOpen(const AnsiString& path) override;
  void AddErrorMode(unsigned flags) override;
  // Windows keeps no place for a GUI program's words but the debugger's.
  void ReportStartupRefusal(const char* reason) override;
  [[noreturn]] void EndAbnormally() override;
};

// Ends the process with kExitUncaughtException at once, without a word (a GUI
// program has no console to write to). Also for the runtime's stand-ins,
// which may run before any services exist.
[[noreturn]] void EndAbnormally();

}  // namespace win32
