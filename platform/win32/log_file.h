// The diagnostic log's file on Windows: the file SELFUPDATE_LOG names, lines
// appended in UTF-8.
#pragma once

#include <windows.h>

#include "platform/diagnostic_log.h"

namespace win32 {

class LogFile : public DiagnosticSink {
 public:
  // Opens the file the variable names (read as UTF-16, so any name works)
  // for appending, creating it when missing. Nothing is opened when the
  // variable is unset or empty or the file cannot be opened: then the run
  // keeps no log.
  LogFile();
  ~LogFile() override;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  // One line, its tail converted from code page 936 (where the system has no
  // such code page, from the active one), with the process id in front,
  // written by a single append so that lines of two updaters sharing the
  // file never mix.
  void WriteLine(const AnsiString& line, const AnsiString& tailIn936) override;
  using DiagnosticSink::WriteLine;

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace win32
