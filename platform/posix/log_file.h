// The diagnostic log's file on POSIX: the file SELFUPDATE_LOG names, lines
// appended in UTF-8.
#pragma once

#include "platform/diagnostic_log.h"

namespace posix {

class LogFile : public DiagnosticSink {
 public:
  // Opens the file the variable names for appending, creating it when
  // missing. Nothing is opened when the variable is unset or empty, names a
  // symbolic link or anything but a regular file, or the file cannot be
  // opened: then the run keeps no log.
  LogFile();
  ~LogFile() override;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // One line, with the process id in front, written by a single append so
  // that lines of two updaters sharing the file never mix.
  void WriteLine(const AnsiString& line, const AnsiString& tailIn936) override;
  using DiagnosticSink::WriteLine;

 private:
  int fd_ = -1;
};

}  // namespace posix
