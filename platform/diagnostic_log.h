// The diagnostic log: one line per step of a run, for a vendor who wants to
// see why an update did what it did. Off unless the process entry finds a
// log file named in its environment; then the entry wraps the platform's
// services in LoggingServices, which notes each step and changes nothing.
#pragma once

#include "platform/services.h"

// The environment variable that names the log file; ASCII.
constexpr char kDiagnosticLogVariable[] = "SELFUPDATE_LOG";

// Where the lines go. A line is in the logic's code page, without a line
// end, and may end in a text of code page 936 (the updater's own texts are
// written in it, and the logic's code page may not spell them); the sink
// converts each part from its own code page to the log's encoding and ends
// the line. Writing never fails from the caller's point of view: what cannot
// be written is dropped.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void WriteLine(const AnsiString& line, const AnsiString& tailIn936) = 0;
  void WriteLine(const AnsiString& line) { WriteLine(line, AnsiString()); }
};

// Services that pass every operation on and write one line for each step a
// reader of the log needs: the run lock and the waits for it, the clearing of
// leftovers, the pass's searches, comparisons, removes, renames and copies,
// the message, the relaunch, a refusal to start and an abnormal end. Each
// line names the operation, its paths and its outcome: "ok", or "failed,
// KIND (code N)".
// Results are handed back exactly as the wrapped services gave them.
class LoggingServices : public ForwardingServices {
 public:
  LoggingServices(PlatformServices& target, DiagnosticSink& sink) : ForwardingServices(target), sink_(sink) {}

  // The process's exit code, the last line of a run; for the process entry.
  void LogExit(int code);

  OpResult OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) override;
  bool SameContent(const AnsiString& a, const AnsiString& b) override;
  OpResult RemoveFile(const AnsiString& path) override;
  OpResult RenameFile(const AnsiString& from, const AnsiString& to) override;
  OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) override;
  OpResult FlushFolder(const AnsiString& folder) override;
  OpResult LockApplicationFolder(const AnsiString& folder) override;
  void RemoveLeftTemporaries(const AnsiString& folder) override;
  int ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) override;
  void Pause(unsigned milliseconds) override;
  OpResult ShellOpen(const AnsiString& path) override;
  void LaunchBesideSelf(const AnsiString& name) override;
  void ReportStartupRefusal(const char* reason) override;

 private:
  // Writes `step`, its path (and the second one, when not empty) and the
  // outcome, and returns the outcome.
  OpResult Logged(const char* step, const AnsiString& path, const AnsiString& to, const OpResult& r);

  DiagnosticSink& sink_;
};

// "ok", or "failed, KIND (code N)": how a log line states an outcome.
AnsiString DescribeOutcome(const OpResult& r);
