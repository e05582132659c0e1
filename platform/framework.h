// The application-framework pieces the update logic is written against: the
// application object with the framework's main routine, the directory finder
// and the message box. All of it is portable; the OS work happens in the
// PlatformServices the process entry hands to AfxWinMain, which each piece
// is given in turn.
//
// The classes are modelled on Microsoft's MFC, the framework the updater was
// first written for, and keep its names on purpose (CWinApp, CFileFind,
// AfxWinMain, AfxMessageBox), so the update logic reads as it would against
// the real framework. Only what the logic relies on is reproduced.
#pragma once

#include <cstdarg>
#include <vector>

#include "platform/services.h"

constexpr std::size_t kMaxPath = 260;  // MAX_PATH, terminating NUL included

// The application folder: the updater's own path, as `os` gives it, up to
// and including its last backslash (the whole path when it has none). Every
// path the run builds starts with it.
AnsiString ApplicationFolder(PlatformServices& os);

// Whether `os` can reach `path`: always when it is shorter than kMaxPath,
// else as PathFits says.
bool Reachable(PlatformServices& os, const AnsiString& path);

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

// Directory finder over the folders of `os`. FindFile() reads the first entry
// ahead and holds it back; each FindNext() makes the held-back entry current
// and reads the next one ahead, returning whether there was one. After a
// false return the current entry stays valid.
class CFileFind {
 public:
  explicit CFileFind(PlatformServices& os) : os_(os) {}
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
  PlatformServices& os_;
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
  // What AfxWinMain was handed: the services the run works through, and the
  // process's arguments as the entry split them ([0] is the program name).
  PlatformServices& Services() const { return *services_; }
  const std::vector<AnsiString>& Arguments() const { return args_; }

 private:
  friend int AfxWinMain(PlatformServices& os, std::vector<AnsiString> args);
  AnsiString displayName_;
  PlatformServices* services_ = nullptr;
  std::vector<AnsiString> args_;
};

// The one application object, registered by its constructor; null before.
CWinApp* AfxGetApp();

// The framework's main routine: hands `os` and `args` to the application
// object, derives the display name from the executable's path and runs the
// application object. Returns the process
// exit code. When the own path cannot be read or is kMaxPath bytes or
// longer, the platform reports the refusal, the application object gets only
// OwnPathRefused() and kExitOwnPathRefused is returned.
int AfxWinMain(PlatformServices& os, std::vector<AnsiString> args);

class DiagnosticSink;

// The whole run of the process once its entry has made the platform's
// services and split the command line, the same on every platform: wraps
// the services in the diagnostic log when `log` is given (see
// diagnostic_log.h), hands them to AfxWinMain and logs the exit code.
// Returns the process exit code. An exception nobody catches is noted in the
// log and ends the process through `endAbnormally`, the platform's own end
// with kExitUncaughtException, which must not return.
int RunProcess(PlatformServices& platform, DiagnosticSink* log, std::vector<AnsiString> args,
               void (*endAbnormally)());

// Shows `text` through `os` in a modal box captioned with the display name.
// An OK box given no icon gets the exclamation icon.
int AfxMessageBox(PlatformServices& os, const AnsiString& text, unsigned type = kMbOk);

// The display name for an executable path in code page `cp`: the file name
// without its folder and without the extension from its last dot.
AnsiString DisplayNameFromPath(const CodePage& cp, const AnsiString& modulePath);
