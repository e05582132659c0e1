#include "platform/diagnostic_log.h"

#include <string>

namespace {

// The words for each kind, as a reader of the log meets them.
const char* KindWords(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return "no reason given";
    case ErrorKind::kNotFound:
      return "not found";
    case ErrorKind::kAlreadyExists:
      return "already exists";
    case ErrorKind::kAccessDenied:
      return "access denied";
    case ErrorKind::kDiskFull:
      return "disk full";
    case ErrorKind::kBusy:
      return "busy";
    case ErrorKind::kOther:
      break;
  }
  return "other error";
}

}  // namespace

AnsiString DescribeOutcome(const OpResult& r) {
  if (r.ok) return "ok";
  return AnsiString("failed, ") + KindWords(r.kind) + " (code " + std::to_string(r.error) + ")";
}

OpResult LoggingServices::Logged(const AnsiString& step, const OpResult& r) {
  sink_.WriteLine(step + ": " + DescribeOutcome(r));
  return r;
}

void LoggingServices::LogExit(int code) { sink_.WriteLine("exit code " + std::to_string(code)); }

OpResult LoggingServices::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  return Logged("search " + pattern, target().OpenSearch(pattern, listing));
}

OpResult LoggingServices::RemoveFile(const AnsiString& path) {
  return Logged("remove " + path, target().RemoveFile(path));
}

OpResult LoggingServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  return Logged("rename " + from + " -> " + to, target().RenameFile(from, to));
}

OpResult LoggingServices::CopyFileOver(const AnsiString& from, const AnsiString& to) {
  return Logged("copy " + from + " -> " + to, target().CopyFileOver(from, to));
}

OpResult LoggingServices::LockApplicationFolder(const AnsiString& folder) {
  return Logged("lock " + folder, target().LockApplicationFolder(folder));
}

void LoggingServices::RemoveLeftTemporaries(const AnsiString& folder) {
  // Written first: the clearing reports nothing, and a line before it tells
  // a reader that a run which stopped there stopped inside it.
  sink_.WriteLine("clear leftovers in " + folder);
  target().RemoveLeftTemporaries(folder);
}

int LoggingServices::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  // The message text is in code page 936 whatever the logic's code page is;
  // the log wants it in the logic's, which may not spell it (then the bytes
  // are written as they are).
  AnsiString inLogicPage = target().FromCodePage936(text.c_str());
  if (inLogicPage.empty()) inLogicPage = text;
  sink_.WriteLine("message " + caption + ": " + inLogicPage);
  const int button = target().ShowMessage(caption, text, type);
  sink_.WriteLine("message closed");
  return button;
}

void LoggingServices::Pause(unsigned milliseconds) {
  sink_.WriteLine("wait " + std::to_string(milliseconds) + " ms");
  target().Pause(milliseconds);
}

OpResult LoggingServices::ShellOpen(const AnsiString& path) {
  return Logged("launch " + path, target().ShellOpen(path));
}

void LoggingServices::ReportStartupRefusal(const char* reason) {
  sink_.WriteLine(AnsiString("refused to start: ") + reason);
  target().ReportStartupRefusal(reason);
}

void LoggingServices::EndAbnormally() {
  sink_.WriteLine("uncaught exception, exit code " + std::to_string(kExitUncaughtException));
  ForwardingServices::EndAbnormally();
}
