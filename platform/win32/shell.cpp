// The message, the launches and the process's own words and end on Windows.
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/win32/own_path.h"
#include "platform/win32/win32_services.h"

namespace win32 {

int Win32Services::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  // MessageBoxA would show the code page 936 bytes as the active code page
  // reads them: mojibake, or nothing readable at all.
  if (GetACP() != 936) {
    std::vector<wchar_t> wideText, wideCaption;
    if (ToWideForm(text, 936, &wideText) && ToWideForm(caption, CP_ACP, &wideCaption)) {
      wideText.push_back(L'\0');
      wideCaption.push_back(L'\0');
      return MessageBoxW(nullptr, wideText.data(), wideCaption.data(), type);
    }
  }
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

OpResult Win32Services::ShellOpen(const AnsiString& path) {
  // A value above 32 is a success; any other is the shell's own error code,
  // not a system error, though some share their numbers: 32 (no DLL for the
  // file) is no sharing violation. 0 says the system was out of memory or
  // resources, as 8 does, and is reported as 8 so the cause is not lost.
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, nullptr, Fit(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result > 32) return OpResult::Success();
  switch (result) {
    case SE_ERR_FNF:
    case SE_ERR_PNF:
      return OpResult::Failure(ErrorKind::kNotFound, static_cast<DWORD>(result));
    case SE_ERR_ACCESSDENIED:
      return OpResult::Failure(ErrorKind::kAccessDenied, SE_ERR_ACCESSDENIED);
    case SE_ERR_SHARE:
      return OpResult::Failure(ErrorKind::kBusy, SE_ERR_SHARE);
    case 0:
      return OpResult::Failure(ErrorKind::kOther, SE_ERR_OOM);
    default:
      return OpResult::Failure(ErrorKind::kOther, static_cast<DWORD>(result));
  }
}

void AddStartupErrorMode() {
  // SetErrorMode only replaces the mode; reading it means setting it.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void Win32Services::ReportStartupRefusal(const char* reason) {
  OutputDebugStringA("SelfUpdate: ");
  OutputDebugStringA(reason);
  OutputDebugStringA("; nothing was updated\n");
}

void Win32Services::LaunchBesideSelf(const AnsiString& name) {
  std::vector<wchar_t> path = WideModulePath();
  std::vector<wchar_t> wideName;
  std::size_t folderEnd = path.size();
  while (folderEnd > 0 && path[folderEnd - 1] != L'\\') --folderEnd;
  if (folderEnd == 0 || !ToWideForm(name, CP_ACP, &wideName)) return;
  path.resize(folderEnd);
  path.insert(path.end(), wideName.begin(), wideName.end());
  path.push_back(L'\0');
  ShellExecuteW(nullptr, nullptr, path.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

void EndAbnormally() { ExitProcess(kExitUncaughtException); }

}  // namespace win32
