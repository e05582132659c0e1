#include "platform/win32/run_lock.h"

#include <windows.h>

namespace win32 {
namespace {

// In the global namespace, so updaters in other sessions of the same user
// (fast user switching, a remote desktop) are kept out too.
constexpr char kMutexPrefix[] = "Global\\SelfUpdate-";

// Appends `value` as eight hex digits.
void AppendHex(AnsiString* text, DWORD value) {
  for (int shift = 28; shift >= 0; shift -= 4) *text += "0123456789abcdef"[(value >> shift) & 0xF];
}

}  // namespace

bool LockApplicationFolder(const AnsiString& folder) {
  // A folder opens only with backup semantics; reading its attributes needs
  // no other right, and sharing everything disturbs nobody.
  const HANDLE handle = CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  if (!known) return false;

  AnsiString name = kMutexPrefix;
  AppendHex(&name, info.dwVolumeSerialNumber);
  AppendHex(&name, info.nFileIndexHigh);
  AppendHex(&name, info.nFileIndexLow);
  // Updaters of different users may meet on one folder (an elevated one and
  // a standard user's). With its creator's default security the mutex would
  // refuse the other, who would then go on without the lock; with no access
  // list at all every updater can wait for it.
  SECURITY_DESCRIPTOR anyone;
  SECURITY_ATTRIBUTES shared = {sizeof shared, &anyone, FALSE};
  const bool open = InitializeSecurityDescriptor(&anyone, SECURITY_DESCRIPTOR_REVISION) &&
                    SetSecurityDescriptorDacl(&anyone, TRUE, nullptr, FALSE);
  // Deliberately never closed: the lock lasts as long as the process.
  const HANDLE mutex = CreateMutexA(open ? &shared : nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return false;
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return true;
  CloseHandle(mutex);
  return false;
}

}  // namespace win32
