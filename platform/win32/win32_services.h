// The Windows platform: each operation of the update logic on the Win32 call
// that carries it, ANSI ("A") entry points throughout, so paths stay byte
// strings in the system code page. No Windows header here, so the tests and
// the entry can include it freely.
#pragma once

#include "platform/services.h"

namespace win32 {

class Win32Services : public PlatformServices {
 public:
  AnsiString ModuleFileName() override;
  std::unique_ptr<DirectoryListing> OpenSearch(const AnsiString& pattern, unsigned long* error) override;
  bool Exists(const AnsiString& path) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  // CopyFileA, then the new file is flushed to disk before success is
  // reported: the staged copy is deleted right afterwards, and until the
  // flush it may be the only durable copy of the new version.
  bool CopyFileOver(const AnsiString& from, const AnsiString& to) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void ShellOpen(const AnsiString& path) override;
  void AddErrorMode(unsigned flags) override;
  // With the shell's own path helpers, as the framework does on Windows.
  AnsiString DisplayNameFor(const AnsiString& modulePath) override;
};

// The terminate handler the entry installs: ends the process with exit code
// 3 at once, without a word (a GUI program has no console to write to).
[[noreturn]] void EndAbnormally();

}  // namespace win32
