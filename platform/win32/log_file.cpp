#include "platform/win32/log_file.h"

#include <vector>

#include "platform/framework.h"

namespace win32 {

LogFile::LogFile() {
  wchar_t variable[sizeof kDiagnosticLogVariable];
  for (std::size_t i = 0; i < sizeof kDiagnosticLogVariable; ++i) variable[i] = kDiagnosticLogVariable[i];
  // Asked once for the size, then for the value; zero means unset or empty.
  const DWORD size = GetEnvironmentVariableW(variable, nullptr, 0);
  if (size <= 1) return;
  std::vector<wchar_t> name(size);
  const DWORD length = GetEnvironmentVariableW(variable, name.data(), size);
  if (length == 0 || length >= size) return;
  // Append-only access: every write goes to the end, also with another
  // updater writing to the same file, which the sharing allows. The handle
  // is not inherited by the programs the updater starts.
  file_ = CreateFileW(name.data(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
}

LogFile::~LogFile() {
  if (IsOpen()) CloseHandle(file_);
}

namespace {

// Appends `text` in `codePage` to `utf16`; false when the system cannot
// convert it.
bool AppendWide(const AnsiString& text, unsigned codePage, std::vector<wchar_t>* utf16) {
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (wide <= 0) return false;
  const std::size_t at = utf16->size();
  utf16->resize(at + static_cast<std::size_t>(wide));
  return MultiByteToWideChar(codePage, 0, text.data(), size, utf16->data() + at, wide) == wide;
}

}  // namespace

void LogFile::WriteLine(const AnsiString& line, const AnsiString& tailIn936) {
  if (!IsOpen()) return;
  std::vector<wchar_t> utf16;
  if (!AppendWide(FormatAnsi("[%lu] %s", GetCurrentProcessId(), line.c_str()), CP_ACP, &utf16)) return;
  const std::size_t lineEnd = utf16.size();
  if (!AppendWide(tailIn936, 936, &utf16)) {
    utf16.resize(lineEnd);
    if (!AppendWide(tailIn936, CP_ACP, &utf16)) return;
  }
  utf16.push_back(L'\r');
  utf16.push_back(L'\n');
  const int wide = static_cast<int>(utf16.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::vector<char> utf8(static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file_, utf8.data(), static_cast<DWORD>(bytes), &written, nullptr);
}

}  // namespace win32
