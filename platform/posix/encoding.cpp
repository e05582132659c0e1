#include "platform/posix/encoding.h"

#include <iconv.h>

#include <cerrno>

namespace posix {
namespace {

const char kAnsiCharset[] = "CP936";
const char kUtf8Charset[] = "UTF-8";
const char kUcs4Charset[] = "UCS-4LE";

// One converter per direction for the life of the process; the updater is
// single-threaded, so sharing them needs no lock.
iconv_t ToAnsi() {
  static iconv_t cd = iconv_open(kAnsiCharset, kUtf8Charset);
  return cd;
}
iconv_t FromAnsi() {
  static iconv_t cd = iconv_open(kUtf8Charset, kAnsiCharset);
  return cd;
}
iconv_t AnsiToUcs4() {
  static iconv_t cd = iconv_open(kUcs4Charset, kAnsiCharset);
  return cd;
}
iconv_t Ucs4ToAnsi() {
  static iconv_t cd = iconv_open(kAnsiCharset, kUcs4Charset);
  return cd;
}

bool Convert(iconv_t cd, const std::string& in, std::string* out) {
  out->clear();
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char buffer[256];
  while (srcLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out->append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
    // A converter may still replace an unmappable character silently and
    // count it as irreversible; such a text does not represent the input.
    if (r != static_cast<std::size_t>(-1) && r > 0) return false;
  }
  char* dst = buffer;
  std::size_t dstLeft = sizeof buffer;
  if (iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1)) return false;
  out->append(buffer, static_cast<std::size_t>(dst - buffer));
  return true;
}

}  // namespace

bool IsAscii(const char* text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  if (IsAscii(utf8.data(), utf8.size())) {
    *ansi = utf8;
    return true;
  }
  std::string back;
  return Convert(ToAnsi(), utf8, ansi) && Convert(FromAnsi(), *ansi, &back) && back == utf8;
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  if (IsAscii(ansi.data(), ansi.size())) {
    *utf8 = ansi;
    return true;
  }
  return Convert(FromAnsi(), ansi, utf8);
}

bool AnsiCharToCodePoint(unsigned char lead, unsigned char trail, unsigned* codePoint) {
  const std::string in{static_cast<char>(lead), static_cast<char>(trail)};
  std::string out;
  if (!Convert(AnsiToUcs4(), in, &out) || out.size() != 4) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(out.data());
  *codePoint = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
  return true;
}

bool CodePointToAnsi(unsigned codePoint, std::string* ansi) {
  const std::string in{static_cast<char>(codePoint & 0xFF), static_cast<char>((codePoint >> 8) & 0xFF),
                       static_cast<char>((codePoint >> 16) & 0xFF),
                       static_cast<char>((codePoint >> 24) & 0xFF)};
  return Convert(Ucs4ToAnsi(), in, ansi);
}

}  // namespace posix
