// An in-memory stand-in for the platform services: a folder tree that finds
// names without regard to ASCII letter case (as Windows does), per-path fault
// injection, and one ordered log of every operation, so a test can assert the
// exact sequence and what the user saw.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

class FakePlatform : public PlatformServices {
 public:
  enum class Op { Search, Next, Remove, Rename, Copy };

  FakePlatform();

  // ----- the tree. Paths are absolute, backslash separated; parents must exist.
  void AddFolder(const AnsiString& path);
  void AddFile(const AnsiString& path, const std::string& content);
  bool IsFolder(const AnsiString& path) const;
  // The content of a file; "<missing>" or "<folder>" otherwise.
  std::string Content(const AnsiString& path) const;
  // Names directly inside a folder, in listing order, as they were created.
  std::vector<AnsiString> Children(const AnsiString& folder) const;

  // ----- behaviour.
  AnsiString modulePath = "C:\\App\\Update.exe";
  unsigned errorMode = 0;

  // Makes `op` fail with `error` when it touches `path` (either path of a
  // rename or copy; for Next, the search pattern), `times` times or, with -1,
  // from then on. A failing copy with `partial` leaves a cut-off file at the
  // target, as a copy that breaks midway does.
  void Fail(Op op, const AnsiString& path, unsigned long error, int times = -1,
            bool partial = false);
  // Lets `skip` matching calls through, then fails every later one.
  void FailAfter(Op op, const AnsiString& path, int skip, unsigned long error = 0);

  // Makes the n-th operation (1-based, all kinds counted together) fail with
  // `error`; with `fromThenOn`, every later one too.
  void FailOperation(int n, unsigned long error, bool fromThenOn, bool partial = false);
  // Stops the process, as a kill would, just before the n-th operation: the
  // call throws FakeCrash and changes nothing.
  void CrashAtOperation(int n);
  // Forgets all faults and crash points, as a new process would.
  void ClearFaults();
  // Operations attempted so far.
  int operations() const { return operations_; }

  // ----- what happened, one line per operation: "remove C:\A.Old !2",
  // "rename C:\A -> C:\A.Old", "copy S -> T", "message CAPTION|TEXT|0x30",
  // "launch P", "search PATTERN". A trailing " !N" marks a failure with code N.
  std::vector<std::string> log;

  // PlatformServices
  AnsiString ModuleFileName() override;
  std::unique_ptr<DirectoryListing> OpenSearch(const AnsiString& pattern, unsigned long* error) override;
  bool Exists(const AnsiString& path) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  bool CopyFileOver(const AnsiString& from, const AnsiString& to) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void ShellOpen(const AnsiString& path) override;
  void AddErrorMode(unsigned flags) override;

 private:
  struct Fault;

 public:
  // The fault that applies to this call, consuming one of its times; null
  // when the call goes through. Listings ask it on every read.
  const Fault* TakeFault(Op op, const AnsiString& a, const AnsiString& b = AnsiString());

 private:
  struct Node {
    AnsiString path;  // as created
    bool folder = false;
    std::string content;
  };
  struct Fault {
    Op op;
    AnsiString path;
    unsigned long error;
    int times;
    bool partial;
    int skip;
  };

  Node* Find(const AnsiString& path);
  const Node* Find(const AnsiString& path) const;
  bool ParentExists(const AnsiString& path) const;
  void Record(const std::string& line, const OpResult& r);

  std::vector<Node> nodes_;
  std::vector<Fault> faults_;
  int operations_ = 0;
  int failAt_ = 0;
  bool failFromThenOn_ = false;
  int crashAt_ = 0;
  Fault nthFault_{};
};

// Thrown by an operation at a crash point.
struct FakeCrash {};

// The path's parent folder ("C:\App" for "C:\App\x"); empty for a root.
AnsiString ParentOf(const AnsiString& path);
