// The process entry on Windows. A GUI program without a window: it has no
// console, and the only thing a user ever sees is the failure message.
#include <windows.h>

#include <exception>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/log_file.h"
#include "platform/win32/own_path.h"
#include "platform/win32/win32_services.h"

namespace {

// Looks up a kernel32 function that some supported systems lack; null there.
// Through a pointer to a function without parameters, the one conversion
// between function pointer types that compilers accept silently.
template <typename Function>
Function KernelFunction(const char* name) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// The updater replaces DLLs in its own folder, possibly half-written ones, so
// no DLL it loads may come from there or from the current folder. The
// imported DLLs are all among the system's known DLLs, which always come from
// the system folder; this covers those loaded later on the program's behalf
// (by the message box and the shell). Both calls are looked up, so that the
// program still loads where they are missing: SetDefaultDllDirectories came
// with a later update of Windows 7 and Vista, SetDllDirectoryA with XP SP1.
// Where only the second exists, the current folder is taken off the search;
// where neither does, the search stays as the system has it.
void LoadDllsFromSystemFolderOnly() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCSTR);
  const auto setDefault = KernelFunction<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  const auto setDirectory = KernelFunction<SetDllDirectoryFunction>("SetDllDirectoryA");
  if (setDirectory != nullptr) setDirectory("");
}

// The first argument as the UTF-16 command line gives it; empty when there
// is none or it cannot be read. Split by the same rules as the ANSI line,
// through UTF-8, which keeps every quote, backslash and separator as the one
// byte it is.
std::vector<wchar_t> WideFirstArgument() {
  const wchar_t* const line = GetCommandLineW();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::vector<char> utf8(static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8.data(), bytes, nullptr, nullptr);
  const std::vector<AnsiString> args = SplitCommandLine(MakeSingleByteCodePage(CP_UTF8), utf8.data(), "");
  if (args.size() < 2 || args[1].empty()) return {};
  std::vector<wchar_t> wide;
  return win32::ToWideForm(args[1], CP_UTF8, &wide) ? wide : std::vector<wchar_t>();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // In place of the runtime's verbose handler, which would write to a
  // console this program does not have, until the run installs its own.
  std::set_terminate(win32::EndAbnormally);
  win32::AddStartupErrorMode();
  LoadDllsFromSystemFolderOnly();
  static win32::Win32Services services;
  // Off unless SELFUPDATE_LOG names a file: then every step is noted there.
  static win32::LogFile log;
  // The command line is split here, by the code page's rules, rather than
  // taken from the C runtime, whose splitting depends on its own code page
  // setting and version.
  std::vector<AnsiString> args =
      SplitCommandLine(services.ActiveCodePage(), GetCommandLineA(), services.ModulePath().c_str());
  if (args.size() >= 2) services.KeepHostArgument(args[1], WideFirstArgument());
  return RunProcess(services, log.IsOpen() ? &log : nullptr, std::move(args), win32::EndAbnormally);
}
