// The process entry on Windows. A GUI program without a window: it has no
// console, and the only thing a user ever sees is the failure message.
#include <windows.h>

#include <exception>

#include "platform/platform.h"
#include "platform/win32/win32_services.h"

namespace {

// The updater replaces DLLs in its own folder, possibly half-written ones, so
// no DLL it loads may come from there or from the current folder. The
// imported DLLs are all among the system's known DLLs, which always come from
// the system folder; this covers those loaded later on the program's behalf
// (by the message box and the shell). SetDefaultDllDirectories is looked up
// because systems without the update that brought it lack it; there at least
// the current folder is taken off the search.
void LoadDllsFromSystemFolderOnly() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  // Through a pointer to a function without parameters, the one conversion
  // between function pointer types that compilers accept silently.
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(found));
  if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryA("");
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // In place of the runtime's verbose handler, which would write to a
  // console this program does not have.
  std::set_terminate(win32::EndAbnormally);
  LoadDllsFromSystemFolderOnly();
  static win32::Win32Services services;
  SetPlatformServices(&services);
  // The command line is split here, by the code page's rules, rather than
  // taken from the C runtime, whose splitting depends on its own code page
  // setting and version.
  const AnsiString ownPath = services.ModulePath();
  return AfxWinMain(SplitCommandLine(ActiveCodePage(), GetCommandLineA(), ownPath.c_str()));
}
