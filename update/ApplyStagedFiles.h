// The update pass: moves each staged .exe/.dll from the staging folder into
// the application folder behind a ".Old" backup.
#pragma once

#include "platform/services.h"

// Applies the staged files, through `os`, in the order the file system lists
// them. Stops at the first copy that fails, after putting that file's backup
// back and showing the failure message once. Never lets a file error reach
// the caller. Returns false, having changed nothing, when a path it would
// build for a staged file is one `os` cannot reach (see Reachable).
bool ApplyStagedFiles(PlatformServices& os);

// Whether the staging folder holds a file the pass would apply.
bool AnyStagedFile(PlatformServices& os);
