/* A stand-in host program for the Windows end-to-end tests: records that it
   was started, with its command line and working directory, in a file named
   "started-<its own file name>.txt" beside itself, then exits. Its own name
   is read in UTF-16, so a name the code page cannot spell gets its marker
   too. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  wchar_t self[MAX_PATH * 2], marker[MAX_PATH * 3];
  char cwd[MAX_PATH * 2];
  (void)instance; (void)previous; (void)args; (void)show;
  DWORD n = GetModuleFileNameW(NULL, self, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return 1;
  wchar_t* name = wcsrchr(self, L'\\');
  if (name == NULL) return 1;
  *name++ = L'\0';
  _snwprintf(marker, MAX_PATH * 3, L"%ls\\started-%ls.txt", self, name);
  GetCurrentDirectoryA(sizeof cwd, cwd);
  FILE* f = _wfopen(marker, L"wb");
  if (f == NULL) return 1;
  fprintf(f, "%s\n%s\n", GetCommandLineA(), cwd);
  fclose(f);
  return 0;
}
