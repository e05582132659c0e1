#include "platform/win32/win32_services.h"

#include <windows.h>

#include <vector>

#include "platform/win32/code_page_win32.h"
#include "platform/win32/copy.h"
#include "platform/win32/own_path.h"
#include "platform/win32/run_lock.h"

namespace win32 {
namespace {

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
    case ERROR_DIRECTORY:
      return ErrorKind::kNotFolder;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ErrorKind::kNameTooLong;
    case ERROR_BAD_EXE_FORMAT:
      return ErrorKind::kNotExecutable;
    default:
      return ErrorKind::kOther;
  }
}

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

}  // namespace

AnsiString Win32Services::Fit(const AnsiString& path) const {
  if (path.size() < MAX_PATH) return path;
  // At a character boundary: in a two-byte code page a character's second
  // byte may be a backslash.
  const std::size_t slash = ReverseFindByte(ActiveCodePage(), path, '\\');
  if (slash == AnsiString::npos || slash == 0) return path;
  const AnsiString shortFolder = ShortAnsiPath(path.substr(0, slash));
  const AnsiString fitted = shortFolder + path.substr(slash);
  return !shortFolder.empty() && fitted.size() < MAX_PATH ? fitted : path;
}

OpResult Failure(unsigned long code) { return OpResult::Failure(KindOf(code), code); }

namespace {

OpResult LastErrorResult(BOOL succeeded) { return succeeded ? OpResult::Success() : Failure(GetLastError()); }

// Windows refuses a file operation on a folder as access denied; the cause
// is the folder, and is reported as such.
OpResult FailureAt(const AnsiString& path, DWORD code) {
  const DWORD attributes = code == ERROR_ACCESS_DENIED ? GetFileAttributesA(path.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return OpResult::Failure(ErrorKind::kIsFolder, code);
  return Failure(code);
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
  const AnsiString pattern = Fit(TemporaryPattern(folder));
  const HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsTemporaryName(data.cFileName))
      DeleteEvenReadOnly(Fit(folder + data.cFileName));
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

OpResult Win32Services::OpenSearch(const AnsiString& asked, std::unique_ptr<DirectoryListing>* listing) {
  const AnsiString pattern = Fit(asked);
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

bool Win32Services::PathExists(const AnsiString& path, PathStatus* status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(Fit(path).c_str(), GetFileExInfoStandard, &data)) return false;
  if (status != nullptr) {
    *status = PathStatus();
    status->regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    status->size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    status->modified = static_cast<long long>((static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime)
                                               << 32) |
                                              data.ftLastWriteTime.dwLowDateTime);
  }
  return true;
}

bool Win32Services::PathFits(const AnsiString& path) { return Fit(path).size() < MAX_PATH; }

bool Win32Services::SameContent(const AnsiString& a, const AnsiString& b) { return SameBytes(Fit(a), Fit(b)); }

OpResult Win32Services::RemoveFile(const AnsiString& asked) {
  const AnsiString path = Fit(asked);
  return DeleteEvenReadOnly(path) ? OpResult::Success() : FailureAt(path, GetLastError());
}

OpResult Win32Services::RenameFile(const AnsiString& from, const AnsiString& to) {
  return LastErrorResult(MoveFileA(Fit(from).c_str(), Fit(to).c_str()));
}

OpResult Win32Services::CopyFileOver(const AnsiString& from, const AnsiString& asked, Permissions) {
  const AnsiString to = Fit(asked);
  // At a character boundary: in a two-byte code page a character's second
  // byte may be a backslash.
  const std::size_t slash = ReverseFindByte(ActiveCodePage(), to, '\\');
  const AnsiString folder = slash == AnsiString::npos ? AnsiString() : to.substr(0, slash + 1);
  const unsigned long code = CopyIntoFolder(Fit(from), folder, to);
  return code == ERROR_SUCCESS ? OpResult::Success() : FailureAt(to, code);
}

}  // namespace win32
