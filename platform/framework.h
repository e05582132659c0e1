// The application-framework pieces the update logic is written against: the
// application object with the framework's main routine, the directory finder,
// the message box and thin wrappers over the platform services. All of it is portable; the OS work happens in the
// PlatformServices installed with SetPlatformServices().
//
// The classes are modelled on Microsoft's MFC, the framework the updater was
// first written for, and keep its names on purpose (CWinApp, CFileFind,
// AfxWinMain, AfxMessageBox), so the update logic reads as it would against
// the real framework. Only what the logic
// relies on is reproduced.
#pragma once

#include <cstdarg>
#include <vector>

#include "platform/services.h"

constexpr std::size_t kMaxPath = 260;  // MAX_PATH, terminating NUL included

// The code page of the run's ANSI strings.
const CodePage& ActiveCodePage();

// The application folder: the updater's own path up to and including its
// last backslash (the whole path when it has none). Every path the run builds
// starts with it.
AnsiString ApplicationFolder();

// Makes this process the only updater of `folder` while it runs, without
// waiting; see PlatformServices.
OpResult LockApplicationFolder(const AnsiString& folder);

// Removes the copy temporaries killed runs left in `folder`. Only for the
// holder of its lock.
void RemoveLeftTemporaries(const AnsiString& folder);

// Whether anything (file or folder) is at `path`; false when it cannot be told.
// `permissions`, when not null, gets those of what is there.
bool PathExists(const AnsiString& path, Permissions* permissions = nullptr);

// Copies `from` over `to`, replacing an existing file; `replaced` as for
// PlatformServices::CopyFileOver. Raises nothing.
OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced);

// The running executable's full path; empty when it cannot be read.
AnsiString ModulePath();

// Opens `path` through the shell with its default action; reports nothing.
void ShellOpen(const AnsiString& path);

// Opens `name`, relative to the running executable's real folder, through the
// shell without using the own path; see PlatformServices.
void LaunchBesideSelf(const AnsiString& name);

// Has the compiler check a printf-style function's arguments against its
// format, numbered from 1. The "printf" archetype is the target's own C
// runtime: on mingw-w64 it is ms_printf, the directives of the system's
// msvcrt, whose formatter SelfUpdate.exe links in place of mingw-w64's own
// (platform/win32/runtime_trim.cpp). A C99 directive it lacks, such as %zu,
// is reported at compile time instead of being formatted wrongly.
#define SELFUPDATE_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))

// printf-style formatting of ANSI strings: "%s" takes the argument's bytes.
AnsiString FormatAnsi(const char* format, ...) SELFUPDATE_PRINTF_FORMAT(1, 2);

// ---------------------------------------------------------------- finder

// Directory finder. FindFile() reads the first entry ahead and holds it back;
// each FindNext() makes the held-back entry current and reads the next one
// ahead, returning whether there was one. After a false return the current
// entry stays valid.
class CFileFind {
 public:
  CFileFind() = default;
  ~CFileFind() { Close(); }
  CFileFind(const CFileFind&) = delete;
  CFileFind& operator=(const CFileFind&) = delete;

  // Closes any open search. False without searching when the pattern is
  // kMaxPath bytes or longer; false when the folder is missing or nothing
  // matches; true when at least one entry exists.
  bool FindFile(const AnsiString& pattern);
  bool FindNext();
  bool IsDirectory() const;       // false when there is no current entry
  AnsiString GetFileName() const;  // empty when there is no current entry
  void Close();                    // no-op when already closed

 private:
  std::unique_ptr<DirectoryListing> listing_;
  FindEntry current_;
  FindEntry ahead_;
  bool hasCurrent_ = false;
  bool hasAhead_ = false;
};

// ---------------------------------------------------------------- application

// The application object's base. The display name always comes from the
// executable's file name: the updater never names itself.
class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual bool InitInstance();
  // Called instead of InitInstance when the own path cannot be used, after
  // the refusal was reported; nothing the path would build may be touched.
  // Does nothing here.
  virtual void OwnPathRefused();
  // Returns the exit code: the last message parameter the framework's own
  // message loop retrieved, which is 0 when that loop never ran.
  virtual int ExitInstance();

  const AnsiString& DisplayName() const { return displayName_; }

 private:
  friend int AfxWinMain(std::vector<AnsiString> args);
  AnsiString displayName_;
};

// The one application object, registered by its constructor; null before.
CWinApp* AfxGetApp();

// argv of this process as the start-up split it; [0] is the program name.
const std::vector<AnsiString>& ProgramArguments();

// The framework's main routine: sets the error mode, derives the display name
// from the executable's path and runs the application object. Returns the
// process exit code. When the own path cannot be read or is kMaxPath bytes or
// longer, the platform reports the refusal, the application object gets only
// OwnPathRefused() and kExitOwnPathRefused is returned.
int AfxWinMain(std::vector<AnsiString> args);

class DiagnosticSink;

// The whole run of the process once its entry has made the platform's
// services and split the command line, the same on every platform: installs
// the services, wrapped in the diagnostic log when `log` is given (see
// diagnostic_log.h), has an exception nobody catches end the run through
// them (so the log says so too), runs AfxWinMain and logs the exit code.
// Returns the process exit code.
int RunProcess(PlatformServices& platform, DiagnosticSink* log, std::vector<AnsiString> args);

// Shows `text` in a modal box captioned with the display name. An OK box
// given no icon gets the exclamation icon.
int AfxMessageBox(const AnsiString& text, unsigned type = kMbOk);

// The display name for an executable path: the file name without its folder
// and without the extension from its last dot.
AnsiString DisplayNameFromPath(const AnsiString& modulePath);
