#include "platform/win32/win32_services.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

namespace win32 {
namespace {

// The longest path the system takes at all (with the \\?\ prefix).
constexpr DWORD kLongestPath = 32768;

OpResult LastErrorResult(BOOL succeeded) {
  return succeeded ? OpResult::Success() : OpResult::Failure(GetLastError());
}

// FindFirstFileA/FindNextFileA. The first entry comes with the handle and is
// handed out by the first Next().
class Win32Listing : public DirectoryListing {
 public:
  // An empty listing: the folder exists but nothing in it matches.
  Win32Listing() = default;
  Win32Listing(HANDLE handle, const WIN32_FIND_DATAA& first)
      : handle_(handle), first_(first), haveFirst_(true) {}
  ~Win32Listing() override {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  Win32Listing(const Win32Listing&) = delete;
  Win32Listing& operator=(const Win32Listing&) = delete;

  bool Next(FindEntry* entry) override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    WIN32_FIND_DATAA data;
    if (haveFirst_) {
      haveFirst_ = false;
      data = first_;
    } else if (!FindNextFileA(handle_, &data)) {
      return false;
    }
    entry->name = data.cFileName;
    entry->attributes = data.dwFileAttributes;
    return true;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA first_{};
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

// Whether `ansi` is exactly the system code page form of `wide`, with no
// character replaced by a default or a look-alike. A replaced character
// could turn the path into that of another, existing folder.
bool IsExactAnsiForm(const AnsiString& ansi, const std::vector<wchar_t>& wide) {
  if (wide.empty()) return false;
  const int wideLength = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength,
                                    nullptr, 0, nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return false;
  std::vector<char> converted(static_cast<std::size_t>(n));
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, converted.data(), n,
                          nullptr, &usedDefault) != n ||
      usedDefault)
    return false;
  return AnsiString(converted.data(), converted.size()) == ansi;
}

// Makes what CopyFileA wrote durable. The copy carries the source's
// attributes over, and a read-only file cannot be opened for writing, which
// flushing needs; the attribute is lifted for the flush and put back.
bool FlushToDisk(const AnsiString& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesA(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL))
      return false;
  }
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool flushed = false;
  if (file != INVALID_HANDLE_VALUE) {
    flushed = FlushFileBuffers(file) != 0;
    if (!CloseHandle(file)) flushed = false;
  }
  if (readOnly && !SetFileAttributesA(path.c_str(), attributes)) flushed = false;
  return flushed;
}

}  // namespace

void EndAbnormally() { ExitProcess(kExitUncaughtException); }

AnsiString Win32Services::ModulePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    // A path that does not fit is cut short (and, on old systems, left
    // without its NUL); n == size says so.
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (n == 0) return AnsiString();
    if (n < size) {
      AnsiString path(buffer.data(), n);
      return IsExactAnsiForm(path, WideModulePath()) ? path : AnsiString();
    }
    if (size >= kLongestPath) return AnsiString();
    buffer.resize(size * 2);
  }
}

OpResult Win32Services::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  WIN32_FIND_DATAA first;
  const HANDLE handle = FindFirstFileA(pattern.c_str(), &first);
  if (handle != INVALID_HANDLE_VALUE) {
    *listing = std::make_unique<Win32Listing>(handle, first);
    return OpResult::Success();
  }
  const DWORD code = GetLastError();
  // The folder is there; the pattern just matches nothing.
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) {
    *listing = std::make_unique<Win32Listing>();
    return OpResult::Success();
  }
  return OpResult::Failure(code);
}

bool Win32Services::PathExists(const AnsiString& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

OpResult Win32Services::RemoveFile(const AnsiString& path) {
  return LastErrorResult(DeleteFileA(path.c_str()));
}

OpResult Win32Services::RenameFile(const AnsiString& from, const AnsiString& to) {
  return LastErrorResult(MoveFileA(from.c_str(), to.c_str()));
}

OpResult Win32Services::CopyFileOver(const AnsiString& from, const AnsiString& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) return OpResult::Failure(GetLastError());
  return LastErrorResult(FlushToDisk(to));
}

int Win32Services::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

void Win32Services::ShellOpen(const AnsiString& path) {
  ShellExecuteA(nullptr, nullptr, path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void Win32Services::AddErrorMode(unsigned flags) {
  // SetErrorMode only replaces the mode; reading it means setting it.
  SetErrorMode(SetErrorMode(0) | flags);
}

void Win32Services::ReportStartupRefusal(const char* reason) {
  OutputDebugStringA("SelfUpdate: ");
  OutputDebugStringA(reason);
  OutputDebugStringA("; nothing was updated\n");
}

void Win32Services::EndAbnormally() { win32::EndAbnormally(); }

}  // namespace win32
