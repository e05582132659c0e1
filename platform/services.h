// The operating-system operations the updater needs, as one interface.
//
// One implementation per platform (platform/posix, platform/win32) and an
// in-memory double in tests. Paths crossing this interface are ANSI strings in
// the active code page, backslash-separated, as the update logic builds them;
// an implementation on a system with other conventions translates them.
//
// Operations report failure only as stated here, with a portable kind that
// each implementation classifies where the failure arises, and the system's
// own error code; code 0 means the system gave no reason, and callers must
// not treat a failure with code 0 as an error to raise.
#pragma once

#include <memory>

#include "platform/ansi_text.h"
#include "platform/code_page.h"

constexpr unsigned long kAttributeDirectory = 0x10;  // FILE_ATTRIBUTE_DIRECTORY

struct FindEntry {
  AnsiString name;             // long file name, no folder
  unsigned long attributes = 0;
};

// An open directory search. Next() yields entries in the order the file system
// lists them; false at the end or on a failure (the entry is then untouched).
class DirectoryListing {
 public:
  virtual ~DirectoryListing() = default;
  virtual bool Next(FindEntry* entry) = 0;
};

// What a failure means, whatever system reported it. The same number means
// different things on different systems (5 is "access denied" on Windows and
// EIO on Linux), so only the implementation that made the call can say.
// kUnsupported: the system offers no such thing here (a file system without
// locks, say). kIsLink: a symbolic link where a file was wanted (never
// followed); kIsFolder: a folder where a file was wanted; kNotFolder: a part
// of the path that should be a folder is not one; kNotExecutable: a file
// that cannot be run as a program; kNoProgram: no program to open the file
// with. kOther only for what the system leaves unexplained.
enum class ErrorKind {
  kNone,
  kNotFound,
  kAlreadyExists,
  kAccessDenied,
  kDiskFull,
  kBusy,
  kUnsupported,
  kIsLink,
  kIsFolder,
  kNotFolder,
  kNameTooLong,
  kNotExecutable,
  kNoProgram,
  kOther
};

// The outcome of an operation that can fail: its kind and the system's own
// error code when it did. Every such operation reports this way.
struct OpResult {
  bool ok = true;
  ErrorKind kind = ErrorKind::kNone;  // meaningful only when !ok
  unsigned long error = 0;            // the system's code; meaningful only when !ok
  static OpResult Success() { return {}; }
  static OpResult Failure(ErrorKind kind, unsigned long code) { return {false, kind, code}; }
};

// A regular file's permission bits as the platform keeps them (its whole
// mode on POSIX) and its owner and group where it has such, for the copy that
// replaces it (see CopyFileOver); a default Permissions where the platform
// keeps none.
struct Permissions {
  static constexpr long kNone = -1;
  unsigned mode = 0;
  long owner = kNone;
  long group = kNone;
  bool kept() const { return mode != 0; }
};

// What PathExists learns of a path besides its existence. All of it is left
// as it is by default for anything but a regular file, and when nothing is
// there.
struct PathStatus {
  bool regular = false;          // a regular file: no folder, link or device
  unsigned long long size = 0;   // its length in bytes
  long long modified = 0;        // its last change of content, in the
                                 // platform's own clock: only ever compared
                                 // with another time of the same platform
  Permissions permissions;
};

// Message-box flags, as the Windows API defines them.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbTypeMask = 0xF;
constexpr unsigned kMbIconMask = 0xF0;
constexpr unsigned kMbIconExclamation = 0x30;
constexpr int kIdOk = 1;

// The process exit codes, the only ones the updater ends with.
constexpr int kExitSuccess = 0;            // the run went through, whatever the pass met
constexpr int kExitOwnPathRefused = 1;     // the own path, or one built from it, was unusable: no pass was run
constexpr int kExitFolderBusy = 2;         // another updater kept the folder: no pass was run
constexpr int kExitUncaughtException = 3;  // an exception nobody caught ended the run

class PlatformServices {
 public:
  // `codePage` must outlive the services.
  explicit PlatformServices(const CodePage& codePage) : codePage_(codePage) {}
  virtual ~PlatformServices() = default;
  PlatformServices(const PlatformServices&) = delete;
  PlatformServices& operator=(const PlatformServices&) = delete;

  // The code page the logic's strings are in: where characters begin, how
  // names compare, how the updater's own texts are spelled. The same object
  // for the whole run.
  const CodePage& ActiveCodePage() const { return codePage_; }

  // Full path of the running executable. Empty when it cannot be read or
  // cannot be presented as an ANSI string.
  virtual AnsiString ModulePath() = 0;

  // Starts a search for `pattern` (a folder, a backslash, and a wildcard) and
  // hands the open search to *listing. Fails, leaving *listing empty, when the
  // folder is missing or unreadable or the pattern cannot be turned into a
  // full path. An open search may still yield nothing.
  virtual OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) = 0;

  // Whether a file or folder exists at `path`. False also when it cannot be
  // told (the path cannot be translated, or the system refuses to say).
  // When `status` is not null it gets what is there.
  virtual bool PathExists(const AnsiString& path, PathStatus* status) = 0;

  // Whether the regular files `a` and `b` hold the same bytes. False when
  // they differ, and also when either is no regular file or cannot be read
  // to its end.
  virtual bool SameContent(const AnsiString& a, const AnsiString& b) = 0;

  // Whether the system can reach `path`, kMaxPath bytes or longer, in some
  // form the implementation builds for it (a path shorter than that always
  // can be reached). Asks the file system nothing about the file itself.
  virtual bool PathFits(const AnsiString& path) = 0;

  // Removes a file (never a folder).
  virtual OpResult RemoveFile(const AnsiString& path) = 0;

  // Gives a file or folder a new path. Fails when anything exists at `to`.
  virtual OpResult RenameFile(const AnsiString& from, const AnsiString& to) = 0;

  // Copies `from` to `to`, creating `to` or replacing the file there. On
  // failure `to` holds what was there before or, if the implementation cannot
  // promise that, whatever the failed copy left. The new file keeps the
  // permissions of the version it replaces: the file at `to` or, where the
  // caller has just moved that away, `replaced`, which PathExists gave for it
  // (a default Permissions when nothing was moved); only a file new to the
  // folder takes the source's. A platform without permissions ignores
  // `replaced`.
  virtual OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) = 0;

  // Makes the removals and renames made so far in `folder` (ending in a
  // backslash) durable: after a power cut they are not undone. Where the
  // system offers no such call, a success that does nothing.
  virtual OpResult FlushFolder(const AnsiString& folder) = 0;

  // Makes this process the only updater of the application folder `folder`
  // (ending in a backslash) until it ends, when no other process is; never
  // waits. Fails with kBusy while another updater of the folder runs, and
  // also while the lock's file is there but unusable (it cannot be opened
  // or locked, or it is no file), which only waiting or a person can mend.
  // Fails with kUnsupported when no lock can be had here at all: a file
  // system without locks, or a folder this process may not even create the
  // file in, and so may not change either. Only a process allowed to change
  // the folder can take the lock or keep others from it. Taking it again is
  // a success.
  virtual OpResult LockApplicationFolder(const AnsiString& folder) = 0;

  // Removes what copies of killed runs left in `folder`: only names of the
  // exact form this platform gives its copies' temporaries, only regular
  // files. Only for the holder of the folder's lock, when no other run can
  // be using one.
  virtual void RemoveLeftTemporaries(const AnsiString& folder) = 0;

  // Shows a modal message with no owner window and waits until it is closed.
  // `type` holds the button and icon flags. Returns the button pressed.
  virtual int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) = 0;

  // Lets `milliseconds` pass.
  virtual void Pause(unsigned milliseconds) = 0;

  // Opens `path` with its default action and does not wait. Fails when
  // nothing could be started; a success says only that something was.
  virtual OpResult ShellOpen(const AnsiString& path) = 0;

  // Opens `name` (in the active code page, backslash separated, relative to
  // the running executable's folder) as ShellOpen would, from that folder as
  // the system names it: without ModulePath, so it works where the own path
  // cannot be used. Does not wait and reports nothing.
  virtual void LaunchBesideSelf(const AnsiString& name) = 0;

  // Says that the start-up refused to run, and why, where the platform keeps
  // such words (standard error on POSIX, the debugger's output on Windows).
  // Shows nothing to the user.
  virtual void ReportStartupRefusal(const char* reason) = 0;

 private:
  const CodePage& codePage_;
};

// Services that pass every operation on to other services: a base for
// wrappers that change a few operations and leave the rest as they are.
class ForwardingServices : public PlatformServices {
 public:
  explicit ForwardingServices(PlatformServices& target)
      : PlatformServices(target.ActiveCodePage()), target_(target) {}
  PlatformServices& target() { return target_; }

  AnsiString ModulePath() override { return target_.ModulePath(); }
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override {
    return target_.OpenSearch(pattern, listing);
  }
  bool PathExists(const AnsiString& path, PathStatus* status) override {
    return target_.PathExists(path, status);
  }
  bool SameContent(const AnsiString& a, const AnsiString& b) override { return target_.SameContent(a, b); }
  bool PathFits(const AnsiString& path) override { return target_.PathFits(path); }
  OpResult RemoveFile(const AnsiString& path) override { return target_.RemoveFile(path); }
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override {
    return target_.RenameFile(from, to);
  }
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override {
    return target_.CopyFileOver(from, to, replaced);
  }
  OpResult FlushFolder(const AnsiString& folder) override { return target_.FlushFolder(folder); }
  OpResult LockApplicationFolder(const AnsiString& folder) override {
    return target_.LockApplicationFolder(folder);
  }
  void RemoveLeftTemporaries(const AnsiString& folder) override { target_.RemoveLeftTemporaries(folder); }
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override {
    return target_.ShowMessage(caption, text, type);
  }
  void Pause(unsigned milliseconds) override { target_.Pause(milliseconds); }
  OpResult ShellOpen(const AnsiString& path) override { return target_.ShellOpen(path); }
  void LaunchBesideSelf(const AnsiString& name) override { target_.LaunchBesideSelf(name); }
  void ReportStartupRefusal(const char* reason) override { target_.ReportStartupRefusal(reason); }

 private:
  PlatformServices& target_;
};

