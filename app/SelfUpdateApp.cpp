#include "app/SelfUpdateApp.h"

#include "update/ApplyStagedFiles.h"

// The one application object, constructed during static initialisation and
// found by the framework's main routine through AfxGetApp().
CSelfUpdateApp theApp;

bool CSelfUpdateApp::InitInstance() {
  const AnsiString hostProgramName = HostProgramNameFrom(ProgramArguments());
  // The pass runs whether or not a host was named, and the host is started
  // whether or not the pass succeeded, after any message has been closed.
  ApplyStagedFiles();
  if (!hostProgramName.empty()) LaunchHostProgram(hostProgramName);
  return false;
}

int CSelfUpdateApp::ExitInstance() { return CWinApp::ExitInstance(); }

AnsiString HostProgramNameFrom(const std::vector<AnsiString>& argv) {
  // Only the first argument is looked at; later ones are ignored whatever
  // they hold, and only the one leading option byte is removed.
  if (argv.size() >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) return argv[1].substr(1);
  return AnsiString();
}

void LaunchHostProgram(const AnsiString& hostProgramName) {
  // The whole own path is split, never a truncated one, and no component is
  // cut: a shortened folder would start nothing, or something else.
  const PathParts parts = SplitPath(ActiveCodePage(), ModulePath(), AnsiString::npos);
  ShellOpen(parts.drive + parts.directory + hostProgramName);
}
