#include "res/texts.h"

namespace texts {

const char kStagingPattern[] = "SelfTemp\\*.*";
const char kStagingFolder[] = "SelfTemp\\";
const char kExtensionSeparator[] = ".";
const char kInstallerName[] = "\xB0\xB2\xD7\xB0.EXE";
const char kExeExtension[] = "exe";
const char kDllExtension[] = "dll";
const char kBackupSuffix[] = ".Old";
const char kFailureMessage[] =
    "\xCE\xC4\xBC\xFE\xB8\xB4\xD6\xC6\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB"
    "\xB5\xBD\xB5\xBD\xB0\xB2\xD7\xB0\xC4\xBF\xC2\xBC\xD4\xCB\xD0\xD0"
    "\"Setup.Exe\""
    "\xB3\xCC\xD0\xF2\xA1\xA3";

static_assert(sizeof(kFailureMessage) == kFailureMessageLength + 1, "message is 49 bytes");
static_assert(sizeof(kInstallerName) == 9, "installer name is 8 bytes");

}  // namespace texts
