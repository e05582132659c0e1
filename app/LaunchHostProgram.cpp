#include "app/LaunchHostProgram.h"

void LaunchHostProgram(const AnsiString& hostProgramName) {
  // The whole own path is split, never a truncated one, and no component is
  // cut: a shortened folder would start nothing, or something else.
  const PathParts parts = SplitPath(ActiveCodePage(), ModulePath(), AnsiString::npos);
  ShellOpen(parts.drive + parts.directory + hostProgramName);
}
