// Starting the host program again once the update pass is over.
#pragma once

#include "platform/platform.h"

// Opens the application folder's `hostProgramName` through the shell: the
// drive and directory of the updater's own path followed by the name as it
// stands (subfolders and ".." included). Does not wait and reports nothing.
void LaunchHostProgram(const AnsiString& hostProgramName);
