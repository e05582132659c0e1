/* A stand-in host program for the Windows end-to-end tests: records that it
   was started, with its command line and working directory, in a file named
   "started-<its own file name>.txt" beside itself, then exits. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  char self[MAX_PATH * 2], cwd[MAX_PATH * 2], marker[MAX_PATH * 3];
  (void)instance; (void)previous; (void)args; (void)show;
  DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
  if (n == 0 || n >= sizeof self) return 1;
  char* name = strrchr(self, '\\');
  if (name == NULL) return 1;
  *name++ = '\0';
  snprintf(marker, sizeof marker, "%s\\started-%s.txt", self, name);
  GetCurrentDirectoryA(sizeof cwd, cwd);
  FILE* f = fopen(marker, "wb");
  if (f == NULL) return 1;
  fprintf(f, "%s\n%s\n", GetCommandLineA(), cwd);
  fclose(f);
  return 0;
}
