#include "platform/diagnostic_log.h"

#include "platform/framework.h"

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
    case ErrorKind::kUnsupported:
      return "not supported here";
    case ErrorKind::kIsLink:
      return "is a symbolic link";
    case ErrorKind::kIsFolder:
      return "is a folder";
    case ErrorKind::kNotFolder:
      return "a part of the path is not a folder";
    case ErrorKind::kNameTooLong:
      return "name too long";
    case ErrorKind::kNotExecutable:
      return "not executable";
    case ErrorKind::kNoProgram:
      return "no program to open it with";
    case ErrorKind::kOther:
      break;
  }
  return "other error";
}

}  // namespace

AnsiString DescribeOutcome(const OpResult& r) {
  if (r.ok) return "ok";
  return FormatAnsi("failed, %s (code %lu)", KindWords(r.kind), r.error);
}

// Each line is made by one FormatAnsi call, whose formatter the updater has
// anyway: chains of string additions and the standard library's number
// conversions cost several kilobytes the Windows build's size budget has not.
OpResult LoggingServices::Logged(const char* step, const AnsiString& path, const AnsiString& to,
                                 const OpResult& r) {
  sink_.WriteLine(FormatAnsi("%s %s%s%s: %s", step, path.c_str(), to.empty() ? "" : " -> ", to.c_str(),
                             DescribeOutcome(r).c_str()));
  return r;
}

void LoggingServices::LogExit(int code) { sink_.WriteLine(FormatAnsi("exit code %d", code)); }

OpResult LoggingServices::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  return Logged("search", pattern, AnsiString(), target().OpenSearch(pattern, listing));
}

bool LoggingServices::SameContent(const AnsiString& a, const AnsiString& b) {
  const bool same = target().SameContent(a, b);
  // The pass compares only to find a staged copy applied already, and then
  // only removes it: the line says what the comparison means for the update.
  sink_.WriteLine(FormatAnsi("compare %s with %s: %s", a.c_str(), b.c_str(),
                             same ? "the same, applied already; only the staged copy is removed" : "different"));
  return same;
}

OpResult LoggingServices::RemoveFile(const AnsiString& path) {
  return Logged("remove", path, AnsiString(), target().RemoveFile(path));
}

OpResult LoggingServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  return Logged("rename", from, to, target().RenameFile(from, to));
}

OpResult LoggingServices::CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) {
  return Logged("copy", from, to, target().CopyFileOver(from, to, replaced));
}

OpResult LoggingServices::FlushFolder(const AnsiString& folder) {
  return Logged("flush", folder, AnsiString(), target().FlushFolder(folder));
}

OpResult LoggingServices::LockApplicationFolder(const AnsiString& folder) {
  return Logged("lock", folder, AnsiString(), target().LockApplicationFolder(folder));
}

void LoggingServices::RemoveLeftTemporaries(const AnsiString& folder) {
  // Written first: the clearing reports nothing, and a line before it tells
  // a reader that a run which stopped there stopped inside it.
  sink_.WriteLine(FormatAnsi("clear leftovers in %s", folder.c_str()));
  target().RemoveLeftTemporaries(folder);
}

int LoggingServices::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  // The message text is in code page 936 whatever the logic's code page is.
  sink_.WriteLine(FormatAnsi("message %s: ", caption.c_str()), text);
  const int button = target().ShowMessage(caption, text, type);
  sink_.WriteLine("message closed");
  return button;
}

void LoggingServices::Pause(unsigned milliseconds) {
  sink_.WriteLine(FormatAnsi("wait %u ms", milliseconds));
  target().Pause(milliseconds);
}

OpResult LoggingServices::ShellOpen(const AnsiString& path) {
  return Logged("launch", path, AnsiString(), target().ShellOpen(path));
}

void LoggingServices::LaunchBesideSelf(const AnsiString& name) {
  sink_.WriteLine(FormatAnsi("launch %s beside the updater's own file", name.c_str()));
  target().LaunchBesideSelf(name);
}

void LoggingServices::ReportStartupRefusal(const char* reason) {
  sink_.WriteLine(FormatAnsi("refused to start: %s", reason));
  target().ReportStartupRefusal(reason);
}

