/* Starts a program with an exact command line, so tests can control every
   byte the started program's own splitting sees. Usage:
     launch.exe FILE   where FILE holds the command line, nothing else.
   Waits for the program and returns its exit code (255 if it cannot start). */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  static char line[65536];
  if (argc != 2) return 255;
  FILE* f = fopen(argv[1], "rb");
  if (f == NULL) return 255;
  size_t n = fread(line, 1, sizeof line - 1, f);
  fclose(f);
  line[n] = '\0';

  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 255;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return (int)code;
}
