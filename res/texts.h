// Every literal of the updater that reaches the user or the file system.
// Non-ASCII texts are code page 936 bytes, written as escapes so the source
// encoding cannot change them.
#pragma once

#include <cstddef>

namespace texts {

// Appended to the application folder to search the staging folder.
extern const char kStagingPattern[];      // SelfTemp\*.*
// Followed by a staged name, after the application folder: its source path.
extern const char kStagingFolder[];       // "SelfTemp\"
// Separates a staged name from the extension that selects it.
extern const char kExtensionSeparator[];  // .
// The staged installer, never applied (compared without regard to case).
extern const char kInstallerName[];       // 安装.EXE
// The extensions that are applied (compared without regard to case).
extern const char kExeExtension[];        // exe
extern const char kDllExtension[];        // dll
// Appended to a target path to name its backup.
extern const char kBackupSuffix[];        // .Old
// Shown once when a copy fails.
extern const char kFailureMessage[];      // 文件复制失败，请到到安装目录运行"Setup.Exe"程序。
constexpr std::size_t kFailureMessageLength = 49;

}  // namespace texts
