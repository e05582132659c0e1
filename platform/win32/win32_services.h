// The Windows platform: each operation of the update logic on the Win32 call
// that carries it, ANSI ("A") entry points for every file operation, so paths
// stay byte strings in the system code page; the UTF-16 ("W") ones only check
// names and show the message outside code page 936. No Windows header here,
// so the tests and the entry can include it freely.
#pragma once

#include <vector>

#include "platform/services.h"
#include "platform/win32/code_page_win32.h"

namespace win32 {

class Win32Services : public PlatformServices {
 public:
  Win32Services() : PlatformServices(ProcessCodePage()) {}
  // Read once, at the first call; every later call returns that same answer
  // (an empty one included). A running program may be renamed on Windows, so
  // a second reading could name another folder than the one locked and
  // searched. Where the path is not exact in the ANSI code page or is
  // kMaxPath bytes or longer, its short (8.3) form when that is usable (see
  // UsableOwnPath in own_path.h).
  AnsiString ModulePath() override;
  // For the entry, before the run: the first argument as the ANSI command
  // line gave it and as the UTF-16 one does. Where the ANSI form is not
  // exactly the UTF-16 one (a name the code page cannot spell, or spells as
  // another), the host program it names is started under its UTF-16 name
  // (see ShellOpen and LaunchBesideSelf); never under another one.
  void KeepHostArgument(const AnsiString& ansi, const std::vector<wchar_t>& wide);
  // Lists through FindFirstFileA/FindNextFileA and, in step with them, their
  // UTF-16 forms: an entry is handed on only when its ANSI name is exactly
  // its UTF-16 one (IsExactAnsiForm). Any other, a name with a character the
  // code page lacks, would reach another file or none, so it is passed over
  // as if absent.
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  // Windows keeps no permissions of the kind CopyFileOver passes on: the
  // status's are always default ones. A reparse point (a link) is no regular
  // file. The time is the last write's, which CopyFileA carries over.
  bool PathExists(const AnsiString& path, PathStatus* status) override;
  bool SameContent(const AnsiString& a, const AnsiString& b) override;
  // Whether Fit makes it shorter than MAX_PATH.
  bool PathFits(const AnsiString& path) override;
  // A read-only file is removed too: its attribute is lifted first, and put
  // back if the delete still fails. The update removes only files it is done
  // with (an older backup, a staged copy just applied), and a read-only one
  // must not make it fail or apply the same file again on every run. The
  // attribute belongs to the file, not to the name: on a file with other
  // names (hard links) it is put back once this name is gone, and where the
  // system cannot do that (before Vista) such a file is not removed.
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
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override;
  // Nothing to call: NTFS journals a folder's changes itself, and no call
  // every supported Windows has flushes a folder alone.
  OpResult FlushFolder(const AnsiString&) override { return OpResult::Success(); }
  // See run_lock.h.
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  void Pause(unsigned milliseconds) override;
  // Also read-only ones; see RemoveFile.
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  // `text` is one of the updater's texts, in code page 936; `caption` is in
  // the active code page. Where that is 936, MessageBoxA shows them as they
  // are; elsewhere MessageBoxW shows them converted to UTF-16, and
  // MessageBoxA only when a conversion is unavailable.
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  OpResult ShellOpen(const AnsiString& path) override;
  // ShellExecuteW on the folder GetModuleFileNameW gives and the name in
  // UTF-16.
  void LaunchBesideSelf(const AnsiString& name) override;
  // Windows keeps no place for a GUI program's words but the debugger's.
  void ReportStartupRefusal(const char* reason) override;

 private:
  // `path` as the system takes it: itself when shorter than MAX_PATH, else
  // with its folder in the short (8.3) form when that makes it fit (every
  // path the run builds starts with the application folder, so a folder just
  // short enough for the updater's own path may still leave a staged name no
  // room); else itself, which then fails as too long.
  AnsiString Fit(const AnsiString& path) const;
  AnsiString ReadModulePath();
  // Appends the host's UTF-16 name for `name` (`length` bytes, relative to
  // the application folder, as the logic names it), where KeepHostArgument
  // found it needed; false otherwise.
  bool WideHostName(const char* name, std::size_t length, std::vector<wchar_t>* wide) const;
  // `path` in UTF-16 with its host name as given, where it ends in one.
  bool WideHostPath(const AnsiString& path, std::vector<wchar_t>* wide) const;
  AnsiString hostAnsi_;
  std::vector<wchar_t> hostWide_;
  // `ansi` checked against the UTF-16 module path, else the short form.
  AnsiString UsableOwnPath(const AnsiString& ansi, unsigned codePage);
  bool modulePathRead_ = false;
  AnsiString modulePath_;
};

// A failure with the system's error code `code`, classified.
OpResult Failure(unsigned long code);

// Adds to the process's error mode, keeping what is set: no system box for a
// drive that is not ready or a file that cannot be opened. Set at start-up,
// before any file is touched.
void AddStartupErrorMode();

// Ends the process with kExitUncaughtException at once, without a word (a GUI
// program has no console to write to). Also for the runtime's stand-ins,
// which may run before any services exist.
[[noreturn]] void EndAbnormally();

}  // namespace win32
