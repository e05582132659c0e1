#include "platform/win32/run_lock.h"

#include <windows.h>

namespace win32 {

const char kRunLockName[] = "SelfUpdate.lock";

namespace {

HANDLE g_lock = INVALID_HANDLE_VALUE;
AnsiString g_lockedPath;

}  // namespace

unsigned long LockApplicationFolder(const AnsiString& folder) {
  const AnsiString path = folder + kRunLockName;
  if (g_lock != INVALID_HANDLE_VALUE) {
    if (path == g_lockedPath) return ERROR_SUCCESS;
    CloseHandle(g_lock);
    g_lock = INVALID_HANDLE_VALUE;
  }
  // No sharing: while this handle is open nobody can open the file at all.
  // Deliberately kept open: the lock lasts as long as the process.
  const auto open = [&] {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  };
  HANDLE handle = open();
  // A lock file made read-only (by a copy of the folder, say) refuses to be
  // opened for writing; it is the updater's own, so it is mended and tried
  // again. Anything else at the name is left as it is.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)))
      handle = open();
    else
      SetLastError(ERROR_ACCESS_DENIED);
  }
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  g_lock = handle;
  g_lockedPath = path;
  return ERROR_SUCCESS;
}

}  // namespace win32
