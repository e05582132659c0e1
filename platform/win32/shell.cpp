// The message, the launches and the process's own words and end on Windows.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
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

void Win32Services::KeepHostArgument(const AnsiString& ansi, const std::vector<wchar_t>& wide) {
  const auto option = [](unsigned c) { return c == '/' || c == '-'; };
  if (ansi.empty() || wide.empty() || !option(static_cast<unsigned char>(ansi[0])) || !option(wide[0]) ||
      IsExactAnsiForm(ansi, wide, CP_ACP))
    return;
  hostAnsi_.assign(ansi.c_str(), ansi.size());
  hostWide_ = wide;
}

// The kept argument stands for `name` when it is the option byte and then
// `name`, byte by byte (the string's own compare would bring in the
// runtime's whole string code).
bool Win32Services::WideHostName(const char* name, std::size_t length, std::vector<wchar_t>* wide) const {
  if (hostWide_.empty() || length + 1 != hostAnsi_.size() || !std::equal(name, name + length, &hostAnsi_[1]))
    return false;
  for (std::size_t i = 1; i < hostWide_.size(); ++i) wide->push_back(hostWide_[i]);
  return true;
}

bool Win32Services::WideHostPath(const AnsiString& path, std::vector<wchar_t>* wide) const {
  if (hostWide_.empty() || path.size() < hostAnsi_.size()) return false;
  // The folder as the run names it (exact in the code page), in its short
  // form where the whole would not fit.
  const std::size_t nameAt = path.size() - (hostAnsi_.size() - 1);
  AnsiString folder = path.substr(0, nameAt);
  if (folder.empty() || folder[folder.size() - 1] != '\\') return false;
  if (folder.size() + hostWide_.size() > MAX_PATH) {
    const AnsiString shortFolder = ShortAnsiPath(folder.substr(0, folder.size() - 1));
    if (!shortFolder.empty()) folder = shortFolder + "\\";
  }
  if (!ToWideForm(folder, CP_ACP, wide) || !WideHostName(path.c_str() + nameAt, path.size() - nameAt, wide))
    return false;
  wide->push_back(L'\0');
  return true;
}

OpResult Win32Services::ShellOpen(const AnsiString& path) {
  // A value above 32 is a success; any other is the shell's own error code,
  // not a system error, though some share their numbers: 32 (no DLL for the
  // file) is no sharing violation. 0 says the system was out of memory or
  // resources, as 8 does, and is reported as 8 so the cause is not lost.
  std::vector<wchar_t> wide;
  const auto result = reinterpret_cast<INT_PTR>(
      WideHostPath(path, &wide) ? ShellExecuteW(nullptr, nullptr, wide.data(), nullptr, nullptr, SW_SHOWNORMAL)
                                : ShellExecuteA(nullptr, nullptr, Fit(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result > 32) return OpResult::Success();
  switch (result) {
    case SE_ERR_FNF:
    case SE_ERR_PNF:
      return OpResult::Failure(ErrorKind::kNotFound, static_cast<DWORD>(result));
    case SE_ERR_ACCESSDENIED:
      return OpResult::Failure(ErrorKind::kAccessDenied, SE_ERR_ACCESSDENIED);
    case SE_ERR_SHARE:
      return OpResult::Failure(ErrorKind::kBusy, SE_ERR_SHARE);
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
      return OpResult::Failure(ErrorKind::kNoProgram, static_cast<DWORD>(result));
    case ERROR_BAD_FORMAT:
      return OpResult::Failure(ErrorKind::kNotExecutable, ERROR_BAD_FORMAT);
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
  if (folderEnd == 0 || !(WideHostName(name.c_str(), name.size(), &wideName) || ToWideForm(name, CP_ACP, &wideName)))
    return;
  path.resize(folderEnd);
  path.insert(path.end(), wideName.begin(), wideName.end());
  path.push_back(L'\0');
  ShellExecuteW(nullptr, nullptr, path.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

void EndAbnormally() { ExitProcess(kExitUncaughtException); }

}  // namespace win32
