// An in-memory stand-in for the platform services: a folder tree that finds
// names without regard to ASCII letter case, as Windows does, and answers
// with Windows' error codes. It records nothing and fails nothing on its own;
// wrap it in FaultInjectingServices for that.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// The code page of the platform under test, as its services give it.
const CodePage& PlatformCodePage();

// Code page `number` for the double: the platform's own for 936; for 932 its
// lead bytes with two-byte characters taken as caseless (Japanese ones are);
// any other as single-byte (1252, and 65001, which has no lead bytes).
CodePage CodePageForTests(unsigned number);

class MemoryServices : public PlatformServices {
 public:
  // Works in `codePage`, which a test may change before it starts.
  MemoryServices() : PlatformServices(codePage) {}

  // ----- the tree. Paths are absolute, backslash separated; parents must exist.
  void AddFolder(const AnsiString& path);
  void AddFile(const AnsiString& path, const std::string& content);
  bool IsFolder(const AnsiString& path) const;
  // The content of a file; "<missing>" or "<folder>" otherwise.
  std::string Content(const AnsiString& path) const;
  // Names directly inside a folder, in listing order, as they were created.
  std::vector<AnsiString> Children(const AnsiString& folder) const;
  // What a copy that breaks midway leaves: the first half of `from` at `to`.
  void LeavePartialCopy(const AnsiString& from, const AnsiString& to);

  // ----- behaviour.
  AnsiString modulePath = "C:\\App\\Update.exe";
  bool shortForms = true;
  CodePage codePage = PlatformCodePage();

  // PlatformServices. Messages and launches do nothing here; there is only
  // one process, so the lock is always had, and copies leave no temporaries.
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  // A file's time is a count of the writes to the tree, so a file written
  // later is newer.
  bool PathExists(const AnsiString& path, PathStatus* status) override;
  bool SameContent(const AnsiString& a, const AnsiString& b) override;
  // As `shortForms` says: whether the tree has short forms for every long
  // path.
  bool PathFits(const AnsiString&) override { return shortForms; }
  bool PathExists(const AnsiString& path) { return PathExists(path, nullptr); }
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override;
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void Pause(unsigned milliseconds) override;
  OpResult ShellOpen(const AnsiString& path) override;
  void LaunchBesideSelf(const AnsiString& name) override;
  void ReportStartupRefusal(const char* reason) override;
  OpResult FlushFolder(const AnsiString& folder) override;
  // The double's code page is 936: the text as it is.

 private:
  struct Node {
    AnsiString path;  // as created
    bool folder = false;
    std::string content;
    long long modified = 0;
  };

  std::size_t LastSeparator(const AnsiString& path) const;
  // The path's parent folder ("C:\\App" for "C:\\App\\x"); empty for a root.
  AnsiString ParentOf(const AnsiString& path) const;
  Node* Find(const AnsiString& path);
  const Node* Find(const AnsiString& path) const;
  bool ParentExists(const AnsiString& path) const;

  std::vector<Node> nodes_;
  long long clock_ = 0;
};


