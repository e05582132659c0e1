// The active code page on POSIX: code page 936, the code page the updater's
// texts are written in, with the lead-byte ranges of 936; names also carry
// GB18030 four-byte forms for characters 936 lacks (see encoding.h).
// Two-byte characters are upper-cased through Unicode with the C library's
// full case tables (the C.UTF-8 locale).
#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/posix/encoding.h"

namespace {

constexpr unsigned kAnsiCodePage = 936;

bool MapDoubleByte(unsigned char lead, unsigned char trail, unsigned* mapped) {
  // Half of a GB18030 four-byte character (its second byte is a digit, which
  // no code page 936 character has there) has no case: it compares as
  // itself, so a name holding one equals only names with the very same
  // characters there.
  if (trail >= '0' && trail <= '9') {
    *mapped = (static_cast<unsigned>(lead) << 8) | trail;
    return true;
  }
  unsigned cp = 0;
  if (!posix::AnsiCharToCodePoint(lead, trail, &cp)) return false;  // not a character
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  const unsigned upper =
      utf8 != static_cast<locale_t>(0) ? static_cast<unsigned>(towupper_l(static_cast<wint_t>(cp), utf8)) : cp;
  std::string bytes;
  // An upper-case form the code page lacks leaves the character as it is,
  // so a character always equals itself.
  if (upper == cp || !posix::CodePointToAnsi(upper, &bytes) || bytes.empty() || bytes.size() > 2) {
    *mapped = (static_cast<unsigned>(lead) << 8) | trail;
    return true;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  *mapped = bytes.size() == 1 ? b[0] : (static_cast<unsigned>(b[0]) << 8) | b[1];
  return true;
}

// Each pair goes through the converter once; every name of a pass compares
// against the same few characters again.
bool UpperCaseDoubleByte(unsigned char lead, unsigned char trail, unsigned* mapped) {
  constexpr std::uint32_t kUnknown = 0xFFFFFFFFu, kInvalid = 0xFFFFFFFEu;
  static std::vector<std::uint32_t> known(1u << 16, kUnknown);
  std::uint32_t& slot = known[(static_cast<unsigned>(lead) << 8) | trail];
  if (slot == kUnknown) {
    unsigned value = 0;
    slot = MapDoubleByte(lead, trail, &value) ? value : kInvalid;
  }
  if (slot == kInvalid) return false;
  *mapped = slot;
  return true;
}

}  // namespace

namespace posix {

const CodePage& LogicCodePage() {
  static const CodePage cp = MakeEastAsianCodePage(kAnsiCodePage, UpperCaseDoubleByte);
  return cp;
}

}  // namespace posix
