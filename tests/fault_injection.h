// A wrapper around any platform services that makes chosen operations fail
// or stops the run before them, as a kill would, and keeps one ordered log of
// every operation. Messages and launches are recorded, never passed on, so a
// test of the real services shows no dialog and starts nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// Which calls a rule applies to, and what they then do.
struct FaultRule {
  enum class Op { Any, Search, Next, Remove, Rename, Copy, Lock, Clear, Flush };

  Op op = Op::Any;
  // Either path of a rename or copy, or for Next the search pattern, compared
  // without regard to ASCII case; empty for any path.
  AnsiString path;
  unsigned long error = 5;  // the code the failure reports; 0 is allowed
  int times = -1;           // how many matching calls fail; -1: every one
  int skip = 0;             // matching calls let through before the first
  bool partial = false;     // a failing copy leaves half the source behind
  bool crash = false;       // throw FakeCrash instead, changing nothing
  ErrorKind kind = ErrorKind::kAccessDenied;  // the kind the failure reports
};

// Thrown by an operation that a crash rule stops.
struct FakeCrash {};

class FaultInjectingServices : public ForwardingServices {
 public:
  using Op = FaultRule::Op;

  explicit FaultInjectingServices(PlatformServices& inner) : ForwardingServices(inner) {}

  void Add(const FaultRule& rule) { rules_.push_back(rule); }
  // Forgets every rule, as a new process would.
  void ClearFaults() { rules_.clear(); }
  // Calls that rules were asked about so far: searches, reads of a search,
  // removes, renames and copies.
  int operations() const { return operations_; }

  // Writes what a copy that breaks midway leaves; a partial rule without it
  // leaves nothing.
  std::function<void(const AnsiString& from, const AnsiString& to)> leavePartialCopy;
  // Answers ModulePath() in place of the inner services when not empty.
  AnsiString modulePath;

  // One line per operation: "lock FOLDER", "clear FOLDER", "search PATTERN",
  // "remove P", "rename A -> B", "copy S -> T", "message CAPTION|TEXT|0x30",
  // "launch P", "launch-beside-self NAME". A trailing " !N" marks a failure
  // with code N.
  std::vector<std::string> log;

  // The rule that applies to this call, counting the call; null when it goes
  // through. Throws FakeCrash at a crash rule. Open searches ask it on every
  // read.
  const FaultRule* Take(Op op, const AnsiString& a, const AnsiString& b = AnsiString());

  // The operations intercepted; the rest go to the inner services as they are.
  AnsiString ModulePath() override;
  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override;
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  OpResult FlushFolder(const AnsiString& folder) override;
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  OpResult ShellOpen(const AnsiString& path) override;
  void LaunchBesideSelf(const AnsiString& name) override;

 private:
  void Record(const std::string& line, const OpResult& r);

  std::vector<FaultRule> rules_;
  int operations_ = 0;
};
