#include "platform/win32/own_path.h"

#include <windows.h>

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

bool IsExactAnsiForm(const AnsiString& ansi, const std::vector<wchar_t>& wide, unsigned codePage,
                     TextConverters& converters) {
  if (wide.empty() || ansi.empty()) return false;
  const int wideLength = static_cast<int>(wide.size());
  const int n = converters.ToMultiByte(codePage, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  std::vector<char> converted(static_cast<std::size_t>(n));
  if (converters.ToMultiByte(codePage, 0, wide.data(), wideLength, converted.data(), n, nullptr,
                             nullptr) != n ||
      AnsiString(converted.data(), converted.size()) != ansi)
    return false;

  const int ansiLength = static_cast<int>(ansi.size());
  const int m = converters.ToWide(codePage, 0, ansi.data(), ansiLength, nullptr, 0);
  if (m != wideLength) return false;
  std::vector<wchar_t> back(static_cast<std::size_t>(m));
  return converters.ToWide(codePage, 0, ansi.data(), ansiLength, back.data(), m) == m && back == wide;
}

}  // namespace win32
