/* A sample application that updates itself through SelfUpdate.exe: the host
   side of the staging protocol, as a vendor would write it.

   On every start it says which version it is, and which versions of its two
   libraries it loaded, in Sample.log beside itself (and on standard output
   when it has one). Then it looks for a newer version in the folder
   "Download" beside itself, which stands in for what a real application
   fetches from its server. When it finds one, it stages the new files in
   "SelfTemp", starts "SelfUpdate.exe /<its own name>" and exits; the updater
   puts the files in place and starts it again, now the new version.

   When it starts and SelfTemp still holds a file the updater applies, its
   last update did not complete (a copy failed, or the updater was stopped):
   it says so once, in a message box, and runs as the version it is. Staging
   again and starting the updater would meet the same failure and start this
   program again, in a loop the user never leaves. The files stay staged, so
   a start through the updater ("SelfUpdate.exe /Main.exe") tries them again.

   Built twice, with SAMPLE_VERSION 1 and 2. Runs on Windows 2000 and later. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef SAMPLE_VERSION
#error "build with -DSAMPLE_VERSION=N"
#endif

static const char kUpdater[] = "SelfUpdate.exe";
static const char kDownload[] = "Download";
static const char kStage[] = "SelfTemp";
static const char kLog[] = "Sample.log";
static const char kVersionFile[] = "version.txt";
static const char* const kLibraries[] = {"Core.dll", "Extra.dll"};
/* The staged installer, which the updater never applies: "安装" in code page
   936 before its first dot, "exe" in any letter case after it. */
static const char kInstallerStem[] = "\xB0\xB2\xD7\xB0";
static const char kNotice[] = "The last update did not complete; version %d runs.";

/* The folder this program runs from, with its trailing backslash, and its own
   file name. */
static char g_folder[MAX_PATH];
static const char* g_name;

static void Say(const char* line) {
  char path[MAX_PATH * 2];
  FILE* log;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written;
  snprintf(path, sizeof path, "%s%s", g_folder, kLog);
  log = fopen(path, "ab");
  if (log != NULL) {
    fprintf(log, "%s\r\n", line);
    fclose(log);
  }
  if (out != NULL && out != INVALID_HANDLE_VALUE) {
    WriteFile(out, line, (DWORD)strlen(line), &written, NULL);
    WriteFile(out, "\r\n", 2, &written, NULL);
  }
}

/* The version a library reports, or 0 when it is missing or broken. Loaded by
   its full path, so no other folder's copy can stand in for it. */
static int LibraryVersion(const char* name) {
  char path[MAX_PATH * 2];
  HMODULE lib;
  FARPROC version;
  int result = 0;
  snprintf(path, sizeof path, "%s%s", g_folder, name);
  lib = LoadLibraryA(path);
  if (lib == NULL) return 0;
  version = GetProcAddress(lib, "LibraryVersion");
  if (version != NULL) result = ((int (*)(void))(void (*)(void))version)();
  FreeLibrary(lib);
  return result;
}

static int DownloadedVersion(void) {
  char path[MAX_PATH * 2];
  FILE* f;
  int version = 0;
  snprintf(path, sizeof path, "%s%s\\%s", g_folder, kDownload, kVersionFile);
  f = fopen(path, "rb");
  if (f == NULL) return 0;
  if (fscanf(f, "%d", &version) != 1) version = 0;
  fclose(f);
  return version;
}

/* Stages one downloaded file. It is copied under a name the updater does not
   apply (Main.exe.part: its part after the first dot is not "exe") and only
   renamed to its own name once it is complete, so an updater started after a
   crash here never applies half a file. A real application verifies the
   file's signature or hash before this step: the updater applies whatever is
   staged. */
static BOOL StageFile(const char* name) {
  char from[MAX_PATH * 2], part[MAX_PATH * 2], to[MAX_PATH * 2];
  snprintf(from, sizeof from, "%s%s\\%s", g_folder, kDownload, name);
  snprintf(part, sizeof part, "%s%s\\%s.part", g_folder, kStage, name);
  snprintf(to, sizeof to, "%s%s\\%s", g_folder, kStage, name);
  if (!CopyFileA(from, part, FALSE)) return FALSE;
  if (MoveFileExA(part, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return TRUE;
  DeleteFileA(part);
  return FALSE;
}

/* Stages every program and library of the download; FALSE if any failed. */
static BOOL StageDownload(void) {
  char pattern[MAX_PATH * 2], stage[MAX_PATH * 2];
  WIN32_FIND_DATAA found;
  HANDLE search;
  BOOL ok = TRUE;
  snprintf(stage, sizeof stage, "%s%s", g_folder, kStage);
  CreateDirectoryA(stage, NULL);
  snprintf(pattern, sizeof pattern, "%s%s\\*", g_folder, kDownload);
  search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return FALSE;
  do {
    const char* dot = strchr(found.cFileName, '.');
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (dot == NULL || (_stricmp(dot, ".exe") != 0 && _stricmp(dot, ".dll") != 0)) continue;
    if (!StageFile(found.cFileName)) ok = FALSE;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return ok;
}

/* Whether SelfTemp holds a file the updater applies: one whose name, after
   its first dot, is "exe" or "dll" in any letter case, other than the
   installer. (A dot is never the second byte of a double-byte character in
   code page 936, so strchr finds the first dot of any name.) */
static BOOL UpdateLeftStaged(void) {
  char pattern[MAX_PATH * 2];
  WIN32_FIND_DATAA found;
  HANDLE search;
  BOOL left = FALSE;
  snprintf(pattern, sizeof pattern, "%s%s\\*", g_folder, kStage);
  search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return FALSE;
  do {
    const char* dot = strchr(found.cFileName, '.');
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (dot == NULL) continue;
    if (_stricmp(dot + 1, "exe") == 0) {
      size_t stem = (size_t)(dot - found.cFileName);
      if (stem != strlen(kInstallerStem) || memcmp(found.cFileName, kInstallerStem, stem) != 0) left = TRUE;
    } else if (_stricmp(dot + 1, "dll") == 0) {
      left = TRUE;
    }
  } while (!left && FindNextFileA(search, &found));
  FindClose(search);
  return left;
}

/* Starts "SelfUpdate.exe /<own name>" from this folder and does not wait:
   the updater must find this program's files free, so the caller exits. */
static BOOL StartUpdater(void) {
  char program[MAX_PATH * 2], line[MAX_PATH * 3];
  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  snprintf(program, sizeof program, "%s%s", g_folder, kUpdater);
  snprintf(line, sizeof line, "\"%s\" \"/%s\"", program, g_name);
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (!CreateProcessA(program, line, NULL, NULL, FALSE, 0, NULL, g_folder, &si, &pi)) return FALSE;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  char line[256];
  char* slash;
  DWORD n;
  int available;
  (void)instance; (void)previous; (void)args; (void)show;

  n = GetModuleFileNameA(NULL, g_folder, sizeof g_folder);
  if (n == 0 || n >= sizeof g_folder) return 1;
  slash = strrchr(g_folder, '\\');
  if (slash == NULL) return 1;
  g_name = _strdup(slash + 1);
  slash[1] = '\0';

  snprintf(line, sizeof line, "%s version %d (%s version %d, %s version %d)", g_name, SAMPLE_VERSION,
           kLibraries[0], LibraryVersion(kLibraries[0]), kLibraries[1], LibraryVersion(kLibraries[1]));
  Say(line);

  if (UpdateLeftStaged()) {
    snprintf(line, sizeof line, kNotice, SAMPLE_VERSION);
    Say(line);
    MessageBoxA(NULL, line, g_name, MB_OK | MB_ICONWARNING);
    return 0;
  }

  available = DownloadedVersion();
  if (available <= SAMPLE_VERSION) return 0;
  if (!StageDownload()) {
    /* Whatever was staged stays for the next start through the updater. */
    Say("could not stage the download");
    return 1;
  }
  snprintf(line, sizeof line, "staged version %d, starting %s", available, kUpdater);
  Say(line);
  return StartUpdater() ? 0 : 1;
}
