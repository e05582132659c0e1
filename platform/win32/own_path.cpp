#include "platform/win32/own_path.h"

#include <windows.h>

#include "platform/framework.h"
#include "platform/win32/win32_services.h"

namespace win32 {
namespace {

class Win32Converters : public TextConverters {
 public:
  int ToMultiByte(unsigned codePage, unsigned long flags, const wchar_t* wide, int wideLength, char* out,
                  int outSize, const char* defaultChar, int* usedDefault) override {
    return WideCharToMultiByte(codePage, flags, wide, wideLength, out, outSize, defaultChar, usedDefault);
  }
  int ToWide(unsigned codePage, unsigned long flags, const char* bytes, int length, wchar_t* out,
             int outSize) override {
    return MultiByteToWideChar(codePage, flags, bytes, length, out, outSize);
  }
};

}  // namespace

TextConverters& SystemConverters() {
  static Win32Converters converters;
  return converters;
}

namespace {

// `wide` in `codePage`, with no flags and no default-character report;
// false when the system cannot convert it.
bool ToAnsiForm(const std::vector<wchar_t>& wide, unsigned codePage, AnsiString* ansi,
                TextConverters& converters) {
  ansi->clear();
  if (wide.empty()) return true;
  const int wideLength = static_cast<int>(wide.size());
  const int n = converters.ToMultiByte(codePage, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  std::vector<char> converted(static_cast<std::size_t>(n));
  if (converters.ToMultiByte(codePage, 0, wide.data(), wideLength, converted.data(), n, nullptr,
                             nullptr) != n)
    return false;
  ansi->assign(converted.data(), converted.size());
  return true;
}

}  // namespace

bool ToWideForm(const AnsiString& bytes, unsigned codePage, std::vector<wchar_t>* wide,
                TextConverters& converters) {
  wide->clear();
  if (bytes.empty()) return true;
  const int length = static_cast<int>(bytes.size());
  const int m = converters.ToWide(codePage, 0, bytes.data(), length, nullptr, 0);
  if (m <= 0) return false;
  wide->resize(static_cast<std::size_t>(m));
  if (converters.ToWide(codePage, 0, bytes.data(), length, wide->data(), m) == m) return true;
  wide->clear();
  return false;
}

bool IsExactAnsiForm(const AnsiString& ansi, const std::vector<wchar_t>& wide, unsigned codePage,
                     TextConverters& converters) {
  if (wide.empty() || ansi.empty()) return false;
  AnsiString converted;
  std::vector<wchar_t> back;
  return ToAnsiForm(wide, codePage, &converted, converters) && converted == ansi &&
         ToWideForm(ansi, codePage, &back, converters) && back == wide;
}

AnsiString UsableOwnPath(const AnsiString& ansi, const std::vector<wchar_t>& wide,
                         const std::vector<wchar_t>& shortWide, unsigned codePage, TextConverters& converters) {
  if (ansi.size() < kMaxPath && IsExactAnsiForm(ansi, wide, codePage, converters)) return ansi;
  // A folder outside the code page, or too deep, may still have a short
  // form of plain ASCII names that every ANSI call can take. The update
  // then works on that form throughout: the lock, the pass and the relaunch
  // all name the same folder.
  AnsiString spelled;
  if (ToAnsiForm(shortWide, codePage, &spelled, converters) && spelled.size() < kMaxPath &&
      IsExactAnsiForm(spelled, shortWide, codePage, converters))
    return spelled;
  return AnsiString();
}

AnsiString FromCodePage936(const AnsiString& text, unsigned codePage, TextConverters& converters) {
  std::vector<wchar_t> wide;
  AnsiString spelled;
  if (!ToWideForm(text, 936, &wide, converters) || !ToAnsiForm(wide, codePage, &spelled, converters) ||
      !IsExactAnsiForm(spelled, wide, codePage, converters))
    return AnsiString();
  return spelled;
}

namespace {

// The longest path the system takes at all (with the \\?\ prefix).
constexpr DWORD kLongestPath = 32768;

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

}  // namespace

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

AnsiString ShortAnsiPath(const AnsiString& path) {
  std::vector<wchar_t> wide;
  if (!ToWideForm(path, CP_ACP, &wide)) return AnsiString();
  const std::vector<wchar_t> shortWide = ShortPath(wide);
  AnsiString spelled;
  if (shortWide.empty() || !ToAnsiForm(shortWide, CP_ACP, &spelled, SystemConverters()) ||
      !IsExactAnsiForm(spelled, shortWide, CP_ACP))
    return AnsiString();
  return spelled;
}

}  // namespace win32
