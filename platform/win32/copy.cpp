// The copy that puts a new version in place, and its temporaries. It must
// never leave a partial file at the target (the backup could then not be
// renamed back) and must not report success before the new content is on
// disk (the staged copy is deleted right after). So: copy to a temporary
// beside the target, flush it, and rename it over the target with write
// through.
#include "platform/win32/copy.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace win32 {
namespace {

// A copy's temporary: the prefix, six hex digits, the suffix; 13 bytes. A
// staged name is at least 4 bytes (".exe"), and its path in the staging
// folder is 9 bytes longer than the target's, so a temporary beside the
// target fits wherever the staged file's own path does. The pass never
// applies such a name.
constexpr char kTemporaryPrefix[] = "~SU";
constexpr int kTemporaryDigits = 6;
constexpr char kTemporarySuffix[] = ".tmp";

// `value`'s low `digits` hex digits (at most 8). Built in an array: the
// string's fill constructor would bring in the runtime's whole string code.
AnsiString Hex(DWORD value, int digits) {
  char text[8];
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789abcdef"[value & 0xF];
  return AnsiString(text, static_cast<std::size_t>(digits));
}

// Read-only files. Windows refuses to delete a read-only file, or to open one
// for writing, even for an administrator; the staged files of an update may
// well be read-only (copied from a CD, a read-only share or some archives),
// and CopyFileA gives the copy the same attribute. The attribute is lifted
// only on files the updater itself is done with or has just made.

// Lifts the read-only attribute of the file at `path` if it has one. Returns
// the attributes to put back (0 when nothing was changed).
DWORD LiftReadOnly(const AnsiString& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0)
    return 0;
  const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesA(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) ? attributes
                                                                                             : 0;
}

using SetFileInformationByHandleFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// SetFileInformationByHandle, which came with Vista; null before. Through a
// pointer to a function without parameters, the one conversion between
// function pointer types that compilers accept silently.
SetFileInformationByHandleFunction SetFileInformationFunction() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetFileInformationByHandle") : nullptr;
  return reinterpret_cast<SetFileInformationByHandleFunction>(reinterpret_cast<void (*)()>(found));
}

// How many names (hard links) the file at `path` has; 0 when that cannot be
// told.
DWORD LinkCount(const AnsiString& path) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD links = GetFileInformationByHandle(file, &info) ? info.nNumberOfLinks : 0;
  CloseHandle(file);
  return links;
}

}  // namespace

// DeleteFileA, and for a read-only file DeleteFileA once its attribute is
// lifted; the attribute comes back when even that fails. The error reported
// is the first one. The attribute is the file's, shared by all its names: a
// file with other names (hard links) gets it back through a handle opened
// before the delete (once the file is writable, as some systems ask), which
// still reaches the file when this name is gone. Without the call for that,
// or the handle, such a file keeps its attribute and this name.
bool DeleteEvenReadOnly(const AnsiString& path) {
  if (DeleteFileA(path.c_str())) return true;
  const DWORD error = GetLastError();
  const DWORD links = error == ERROR_ACCESS_DENIED ? LinkCount(path) : 0;
  const SetFileInformationByHandleFunction putBack = links > 1 ? SetFileInformationFunction() : nullptr;
  const DWORD attributes = links == 1 || putBack != nullptr ? LiftReadOnly(path) : 0;
  if (attributes != 0) {
    // Sharing everything, so that the delete is not refused because of it.
    const HANDLE file = putBack == nullptr
                            ? INVALID_HANDLE_VALUE
                            : CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
    if ((putBack == nullptr || file != INVALID_HANDLE_VALUE) && DeleteFileA(path.c_str())) {
      if (file != INVALID_HANDLE_VALUE) {
        // Zero times leave the file's times as they are.
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = attributes;
        putBack(file, FileBasicInfo, &basic, sizeof basic);
        CloseHandle(file);
      }
      return TRUE;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    SetFileAttributesA(path.c_str(), attributes);
  }
  SetLastError(error);
  return FALSE;
}

namespace {

// Makes what CopyFileA wrote to `path` durable. Flushing needs the file open
// for writing, which its read-only attribute would refuse; the attribute is
// lifted for the flush and put back.
BOOL FlushToDisk(const AnsiString& path) {
  const DWORD attributes = LiftReadOnly(path);
  // Sharing everything, so that a virus scanner looking at the new file does
  // not make the flush fail.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BOOL flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
  DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
  if (file != INVALID_HANDLE_VALUE && !CloseHandle(file) && flushed) {
    flushed = FALSE;
    error = GetLastError();
  }
  if (attributes != 0 && !SetFileAttributesA(path.c_str(), attributes) && flushed) {
    flushed = FALSE;
    error = GetLastError();
  }
  SetLastError(error);
  return flushed;
}

// A name for a copy's temporary in `folder`, beside its target, from this
// process's number and a count. Six digits cannot tell every process apart;
// CopyFileA creates the file only where nothing is, and the caller then tries
// the next name, so the file it creates is this run's alone.
AnsiString TemporaryName(const AnsiString& folder) {
  static const DWORD process = GetCurrentProcessId();
  static DWORD counter = 0;
  // Process numbers are multiples of four.
  return folder + kTemporaryPrefix + Hex((process >> 2) * 0x100 + counter++, kTemporaryDigits) +
         kTemporarySuffix;
}

}  // namespace

// The prefix, six lower-case hex digits, the suffix.
bool IsTemporaryName(const char* name) {
  // Byte by byte: the form is ASCII, and no import is needed for it.
  auto literal = [](const char*& p, const char* text) {
    while (*text != '\0' && *p == *text) ++p, ++text;
    return *text == '\0';
  };
  auto hexDigits = [](const char*& p) {
    const char* start = p;
    while ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')) ++p;
    return p - start == kTemporaryDigits;
  };
  const char* p = name;
  return literal(p, kTemporaryPrefix) && hexDigits(p) && literal(p, kTemporarySuffix) && *p == '\0';
}

AnsiString TemporaryPattern(const AnsiString& folder) { return folder + kTemporaryPrefix + "*" + kTemporarySuffix; }

namespace {

// Reads from `file` until `buffer` is full or the file ends; false on an
// error. *got is how much was read.
bool ReadFully(HANDLE file, char* buffer, DWORD size, DWORD* got) {
  *got = 0;
  for (DWORD n = 1; *got < size && n != 0; *got += n)
    if (!ReadFile(file, buffer + *got, size - *got, &n, nullptr)) return false;
  return true;
}

}  // namespace

bool SameBytes(const AnsiString& a, const AnsiString& b) {
  // On the heap: a program this small has little stack, and a static buffer
  // would be stored in the executable's file.
  constexpr DWORD kChunk = 16384;
  char* const buffers = static_cast<char*>(malloc(2 * kChunk));
  const AnsiString* paths[2] = {&a, &b};
  HANDLE files[2];
  for (int i = 0; i < 2; ++i)
    // Sharing everything: a scanner or the program itself may have either
    // open, and reading takes nothing from them.
    files[i] = CreateFileA(paths[i]->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  bool same = buffers != nullptr && files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE;
  for (DWORD got[2] = {1, 1}; same && got[0] != 0;) {
    same = ReadFully(files[0], buffers, kChunk, &got[0]) && ReadFully(files[1], buffers + kChunk, kChunk, &got[1]) &&
           got[0] == got[1] && memcmp(buffers, buffers + kChunk, got[0]) == 0;
  }
  for (const HANDLE file : files)
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  free(buffers);
  return same;
}

unsigned long CopyIntoFolder(const AnsiString& from, const AnsiString& folder, const AnsiString& to) {
  AnsiString temporary;
  for (int attempt = 0;; ++attempt) {
    temporary = TemporaryName(folder);
    if (CopyFileA(from.c_str(), temporary.c_str(), TRUE)) break;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      if (attempt < 100) continue;  // not this run's: another name
      return error;
    }
    // CopyFileA removes what it wrote when it fails; this is in case it could
    // not (a disk that filled up, say).
    DeleteEvenReadOnly(temporary);
    return error;
  }
  // The rename is atomic: the target holds the old file or the whole new one,
  // never part of it. Write-through returns only once the rename is on disk.
  if (FlushToDisk(temporary) &&
      MoveFileExA(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  DeleteEvenReadOnly(temporary);
  return error;
}

}  // namespace win32
