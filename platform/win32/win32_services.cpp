#include "platform/win32/win32_services.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "platform/win32/code_page_win32.h"
#include "platform/win32/own_path.h"
#include "platform/win32/run_lock.h"

namespace win32 {
namespace {

// The longest path the system takes at all (with the \\?\ prefix).
constexpr DWORD kLongestPath = 32768;

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

// Whether `name` is exactly of the form TemporaryName() gives: the prefix,
// six lower-case hex digits, the suffix, letter case included. Anything else
// the folder's search pattern matches (a vendor's "~SUnotes.tmp") is someone
// else's file.
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

ErrorKind KindOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::kNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return ErrorKind::kAlreadyExists;
    case ERROR_ACCESS_DENIED:
      return ErrorKind::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::kDiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::kBusy;
    default:
      return ErrorKind::kOther;
  }
}

OpResult Failure(DWORD code) { return OpResult::Failure(KindOf(code), code); }

OpResult LastErrorResult(BOOL succeeded) { return succeeded ? OpResult::Success() : Failure(GetLastError()); }

// A name as the system's UTF-16 search gives it.
std::vector<wchar_t> WideName(const wchar_t* name) {
  const wchar_t* end = name;
  while (*end != L'\0') ++end;
  return std::vector<wchar_t>(name, end);
}

// FindFirstFileA/FindNextFileA, with FindFirstFileW/FindNextFileW in step.
// Both list the same folder in the same order, so each ANSI entry is checked
// against the UTF-16 entry read with it. Should they ever fall out of step
// (an entry one of them failed to convert, or the folder changed between the
// two starts), entries are passed over, or handed on under a name that is
// exactly another entry's, which then reaches that entry: never under a name
// that reaches a file it was not listed for. The first entries come with the
// handles and are handed out by the first Next().
class Win32Listing : public DirectoryListing {
 public:
  // An empty listing: the folder exists but nothing in it matches.
  Win32Listing() = default;
  Win32Listing(HANDLE handle, const WIN32_FIND_DATAA& first, HANDLE wideHandle,
               const WIN32_FIND_DATAW& wideFirst)
      : handle_(handle), wideHandle_(wideHandle), first_(first), wideFirst_(wideFirst), haveFirst_(true) {}
  ~Win32Listing() override {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
    if (wideHandle_ != INVALID_HANDLE_VALUE) FindClose(wideHandle_);
  }
  Win32Listing(const Win32Listing&) = delete;
  Win32Listing& operator=(const Win32Listing&) = delete;

  bool Next(FindEntry* entry) override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    for (;;) {
      WIN32_FIND_DATAA data;
      WIN32_FIND_DATAW wide;
      bool haveWide = wideHandle_ != INVALID_HANDLE_VALUE;
      if (haveFirst_) {
        haveFirst_ = false;
        data = first_;
        wide = wideFirst_;
      } else if (!FindNextFileA(handle_, &data)) {
        return false;
      } else if (haveWide && !FindNextFileW(wideHandle_, &wide)) {
        // Every entry after the UTF-16 search's end is passed over.
        FindClose(wideHandle_);
        wideHandle_ = INVALID_HANDLE_VALUE;
        haveWide = false;
      }
      if (haveWide && IsExactAnsiForm(data.cFileName, WideName(wide.cFileName), CP_ACP)) {
        entry->name = data.cFileName;
        entry->attributes = data.dwFileAttributes;
        return true;
      }
    }
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE wideHandle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA first_{};
  WIN32_FIND_DATAW wideFirst_{};
  bool haveFirst_ = false;
};

// The module path as the system reports it in UTF-16, for checking the ANSI
// one; empty when it cannot be read. (A vector rather than std::wstring,
// which would bring a second string class into the program.)
std::vector<wchar_t> WideModulePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (n == 0) return std::vector<wchar_t>();
    if (n < size) {
      buffer.resize(n);
      return buffer;
    }
    if (size >= kLongestPath) return std::vector<wchar_t>();
    buffer.resize(size * 2);
  }
}

// The short (8.3) form of `path`; empty when the system gives none.
std::vector<wchar_t> ShortPath(std::vector<wchar_t> path) {
  if (path.empty()) return path;
  path.push_back(L'\0');
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD n = GetShortPathNameW(path.data(), buffer.data(), size);
    if (n == 0) return std::vector<wchar_t>();
    if (n < size) {
      buffer.resize(n);
      return buffer;
    }
    // Too small: n is the size needed, its NUL included.
    if (n > kLongestPath) return std::vector<wchar_t>();
    buffer.resize(n);
  }
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

// DeleteFileA, and for a read-only file DeleteFileA once its attribute is
// lifted; the attribute comes back when even that fails. The error reported
// is the first one. The attribute is the file's, shared by all its names: a
// file with other names (hard links) gets it back through a handle opened
// before the delete (once the file is writable, as some systems ask), which
// still reaches the file when this name is gone. Without the call for that,
// or the handle, such a file keeps its attribute and this name.
BOOL DeleteEvenReadOnly(const AnsiString& path) {
  if (DeleteFileA(path.c_str())) return TRUE;
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

OpResult Win32Services::LockApplicationFolder(const AnsiString& folder) {
  const unsigned long code = win32::LockApplicationFolder(folder);
  if (code == ERROR_SUCCESS) return OpResult::Success();
  // A file that is missing and could not be made (no right to, a name too
  // long) is held by nobody, and a run that may not create it may not change
  // the folder either; nor is there a lock on a system without the call.
  const AnsiString path = folder + win32::kRunLockName;
  const bool missing = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (code == ERROR_NOT_SUPPORTED || missing)
    return OpResult::Failure(ErrorKind::kUnsupported, code);
  // Held (a sharing violation), or a file at the name that cannot serve (a
  // read-only one, a folder): waited out alike.
  return OpResult::Failure(ErrorKind::kBusy, code);
}

void Win32Services::Pause(unsigned milliseconds) { Sleep(milliseconds); }

void Win32Services::RemoveLeftTemporaries(const AnsiString& folder) {
  WIN32_FIND_DATAA data;
  const AnsiString pattern = folder + kTemporaryPrefix + "*" + kTemporarySuffix;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsTemporaryName(data.cFileName))
      DeleteEvenReadOnly(folder + data.cFileName);
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

void EndAbnormally() { ExitProcess(kExitUncaughtException); }

AnsiString Win32Services::ModulePath() {
  if (!modulePathRead_) {
    modulePath_ = ReadModulePath();
    modulePathRead_ = true;
  }
  return modulePath_;
}

AnsiString Win32Services::ReadModulePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    // A path that does not fit is cut short (and, on old systems, left
    // without its NUL); n == size says so.
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (n == 0) return AnsiString();
    if (n < size) return UsableOwnPath(AnsiString(buffer.data(), n), CP_ACP);
    if (size >= kLongestPath) return UsableOwnPath(AnsiString(), CP_ACP);
    buffer.resize(size * 2);
  }
}

AnsiString Win32Services::UsableOwnPath(const AnsiString& ansi, unsigned codePage) {
  const std::vector<wchar_t> wide = WideModulePath();
  // The usual case costs no more calls than the check itself.
  if (ansi.size() < MAX_PATH && IsExactAnsiForm(ansi, wide, codePage)) return ansi;
  return win32::UsableOwnPath(ansi, wide, ShortPath(wide), codePage);
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

OpResult Win32Services::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  WIN32_FIND_DATAA first;
  const HANDLE handle = FindFirstFileA(pattern.c_str(), &first);
  if (handle != INVALID_HANDLE_VALUE) {
    // Without the UTF-16 search no entry can be checked, and none is handed on.
    std::vector<wchar_t> widePattern;
    WIN32_FIND_DATAW wideFirst{};
    HANDLE wideHandle = INVALID_HANDLE_VALUE;
    if (ToWideForm(pattern, CP_ACP, &widePattern)) {
      widePattern.push_back(L'\0');
      wideHandle = FindFirstFileW(widePattern.data(), &wideFirst);
    }
    *listing = std::make_unique<Win32Listing>(handle, first, wideHandle, wideFirst);
    return OpResult::Success();
  }
  const DWORD code = GetLastError();
  // The folder is there; the pattern just matches nothing.
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) {
    *listing = std::make_unique<Win32Listing>();
    return OpResult::Success();
  }
  return Failure(code);
}

bool Win32Services::PathExists(const AnsiString& path, Permissions* permissions) {
  if (permissions != nullptr) *permissions = Permissions();
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

OpResult Win32Services::RemoveFile(const AnsiString& path) {
  return LastErrorResult(DeleteEvenReadOnly(path));
}

OpResult Win32Services::RenameFile(const AnsiString& from, const AnsiString& to) {
  return LastErrorResult(MoveFileA(from.c_str(), to.c_str()));
}

OpResult Win32Services::CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions) {
  // At a character boundary: in a two-byte code page a character's second
  // byte may be a backslash.
  const std::size_t slash = ReverseFindByte(ActiveCodePage(), to, '\\');
  const AnsiString folder = slash == AnsiString::npos ? AnsiString() : to.substr(0, slash + 1);
  AnsiString temporary;
  for (int attempt = 0;; ++attempt) {
    temporary = TemporaryName(folder);
    if (CopyFileA(from.c_str(), temporary.c_str(), TRUE)) break;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      if (attempt < 100) continue;  // not this run's: another name
      return Failure(error);
    }
    // CopyFileA removes what it wrote when it fails; this is in case it could
    // not (a disk that filled up, say).
    DeleteEvenReadOnly(temporary);
    return Failure(error);
  }
  // The rename is atomic: the target holds the old file or the whole new one,
  // never part of it. Write-through returns only once the rename is on disk.
  if (FlushToDisk(temporary) &&
      MoveFileExA(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return OpResult::Success();
  const DWORD error = GetLastError();
  DeleteEvenReadOnly(temporary);
  return Failure(error);
}

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
      ShellExecuteA(nullptr, nullptr, path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
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




}  // namespace win32
