#include "app/SelfUpdateApp.h"

#include "app/LaunchHostProgram.h"
#include "update/ApplyStagedFiles.h"

AnsiString HostProgramNameFrom(const std::vector<AnsiString>& argv) {
  // Only the first argument is looked at; later ones are ignored whatever
  // they hold, and only the one leading option byte is removed.
  if (argv.size() >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) return argv[1].substr(1);
  return AnsiString();
}

bool CSelfUpdateApp::InitInstance() {
  const AnsiString hostProgramName = HostProgramNameFrom(ProgramArguments());
  // The pass runs whether or not a host was named, and the host is started
  // whether or not the pass succeeded, after any message has been closed.
  ApplyStagedFiles();
  if (!hostProgramName.empty()) LaunchHostProgram(hostProgramName);
  return false;
}

int CSelfUpdateApp::ExitInstance() { return CWinApp::ExitInstance(); }
