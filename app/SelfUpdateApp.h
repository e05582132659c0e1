// The updater's application object. All of the run happens in InitInstance:
// read the command line, apply the staged files, start the host program
// again; it returns false so the framework never enters a message loop.
#pragma once

#include "platform/platform.h"

class CSelfUpdateApp : public CWinApp {
 public:
  CSelfUpdateApp() = default;
  bool InitInstance() override;
  // No pass; the host program named on the command line is still started,
  // from the updater's real folder.
  void OwnPathRefused() override;
  int ExitInstance() override;

 private:
  // Ends a run whose pass would build a path the system cannot reach as one
  // whose own path was refused: says why, starts the host as OwnPathRefused
  // does, exits with kExitOwnPathRefused. Returns InitInstance's result.
  bool RefusePathTooLong();
  // Other than kExitSuccess when the run must end with another code.
  int exitCode_ = kExitSuccess;
};

// The host program name carried by the command line: argv[1] without its
// first byte when that byte is '-' or '/'; empty otherwise.
AnsiString HostProgramNameFrom(const std::vector<AnsiString>& argv);

// Opens the application folder's `hostProgramName` through the shell of `os`:
// the drive and directory of the updater's own path followed by the name as
// it stands (subfolders and ".." included). Does not wait and reports
// nothing.
void LaunchHostProgram(PlatformServices& os, const AnsiString& hostProgramName);
