#include "platform/posix/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace posix {
namespace {

const char kAnsiCharset[] = "CP936";
const char kFourByteCharset[] = "GB18030";
const char kUtf8Charset[] = "UTF-8";
const char kUcs4Charset[] = "UCS-4LE";

// One converter per pair of charsets for the life of the process; the
// updater is single-threaded, so sharing them needs no lock.
template <const char* kTo, const char* kFrom>
iconv_t Converter() {
  static iconv_t cd = iconv_open(kTo, kFrom);
  return cd;
}

constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// Converts as much of [*src, *src + *srcLeft) as the converter can, appending
// to `out`. Returns true when all of it converted; false with *src at the
// first character it cannot convert (errno EILSEQ or EINVAL) or on any other
// failure. A converter that replaces an unmappable character silently counts
// it as irreversible; such a text does not represent the input, so that is a
// failure too.
bool ConvertSome(iconv_t cd, char** src, std::size_t* srcLeft, std::string* out) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  char buffer[256];
  for (;;) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    const std::size_t r = *srcLeft == 0 ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                                        : iconv(cd, src, srcLeft, &dst, &dstLeft);
    out->append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r == kFailed && errno == E2BIG) continue;
    if (r == kFailed) return false;
    if (r > 0) {
      errno = 0;
      return false;
    }
    if (*srcLeft == 0) return true;
  }
}

bool Convert(iconv_t cd, const std::string& in, std::string* out) {
  out->clear();
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  return ConvertSome(cd, &src, &srcLeft, out);
}

// The byte length of the UTF-8 sequence a lead byte starts; 0 for a byte
// that starts none.
std::size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool IsDigit(unsigned char b) { return b >= '0' && b <= '9'; }
bool IsLeadRange(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

// Whether four bytes are one GB18030 four-byte character: lead, digit, lead,
// digit. Code page 936 has no such character; read with its lead-byte rule
// they are two two-byte units whose second bytes are digits.
bool IsFourByteForm(const unsigned char* b) {
  return IsLeadRange(b[0]) && IsDigit(b[1]) && IsLeadRange(b[2]) && IsDigit(b[3]);
}

}  // namespace

bool IsAscii(const char* text, std::size_t size) {
  // Eight bytes at a time: every name and path of a pass goes through here.
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    if (word & 0x8080808080808080u) return false;
  }
  for (; i < size; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  if (IsAscii(utf8.data(), utf8.size())) {
    *ansi = utf8;
    return true;
  }
  ansi->clear();
  char* src = const_cast<char*>(utf8.data());
  std::size_t srcLeft = utf8.size();
  // Code page 936 wherever it has the character; one character at a time in
  // its GB18030 four-byte form where it has not.
  while (!ConvertSome(Converter<kAnsiCharset, kUtf8Charset>(), &src, &srcLeft, ansi)) {
    if (errno != EILSEQ) return false;
    const std::size_t n = Utf8Length(static_cast<unsigned char>(*src));
    if (n == 0 || n > srcLeft) return false;
    std::string one;
    char* charStart = src;
    std::size_t charLeft = n;
    if (!ConvertSome(Converter<kFourByteCharset, kUtf8Charset>(), &charStart, &charLeft, &one) ||
        one.size() != 4 || !IsFourByteForm(reinterpret_cast<const unsigned char*>(one.data())))
      return false;
    ansi->append(one);
    src += n;
    srcLeft -= n;
  }
  // Only a text that converts back to the very same bytes is taken, so two
  // names can never be confused.
  std::string back;
  return AnsiToUtf8(*ansi, &back) && back == utf8;
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  if (IsAscii(ansi.data(), ansi.size())) {
    *utf8 = ansi;
    return true;
  }
  utf8->clear();
  char* src = const_cast<char*>(ansi.data());
  std::size_t srcLeft = ansi.size();
  while (!ConvertSome(Converter<kUtf8Charset, kAnsiCharset>(), &src, &srcLeft, utf8)) {
    if ((errno != EILSEQ && errno != EINVAL) || srcLeft < 4 ||
        !IsFourByteForm(reinterpret_cast<const unsigned char*>(src)))
      return false;
    std::string one;
    char* charStart = src;
    std::size_t charLeft = 4;
    if (!ConvertSome(Converter<kUtf8Charset, kFourByteCharset>(), &charStart, &charLeft, &one)) return false;
    utf8->append(one);
    src += 4;
    srcLeft -= 4;
  }
  return true;
}

bool AnsiCharToCodePoint(unsigned char lead, unsigned char trail, unsigned* codePoint) {
  const std::string in{static_cast<char>(lead), static_cast<char>(trail)};
  std::string out;
  if (!Convert(Converter<kUcs4Charset, kAnsiCharset>(), in, &out) || out.size() != 4) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(out.data());
  *codePoint = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
  return true;
}

bool CodePointToAnsi(unsigned codePoint, std::string* ansi) {
  const std::string in{static_cast<char>(codePoint & 0xFF), static_cast<char>((codePoint >> 8) & 0xFF),
                       static_cast<char>((codePoint >> 16) & 0xFF),
                       static_cast<char>((codePoint >> 24) & 0xFF)};
  return Convert(Converter<kAnsiCharset, kUcs4Charset>(), in, ansi);
}

}  // namespace posix
