// The active code page on POSIX: code page 936, the code page the updater's
// texts are written in, with the lead-byte ranges of 936; names also carry
// four-byte forms for characters 936 lacks (see encoding.h). Two-byte
// characters are upper-cased by the table of code_page_936.h.
#include <algorithm>

#include "platform/code_page.h"
#include "platform/posix/code_page_936.h"

namespace {

constexpr unsigned kAnsiCodePage = 936;

bool UpperCaseDoubleByte(unsigned char lead, unsigned char trail, unsigned* mapped) {
  const unsigned pair = static_cast<unsigned>(lead) << 8 | trail;
  // Half of a four-byte form (its second byte is a digit, which no code page
  // 936 character has there) has no case: it compares as itself, so a name
  // holding one equals only names with the very same characters there.
  if (trail >= '0' && trail <= '9') {
    *mapped = pair;
    return true;
  }
  if (posix::cp936::DoubleByteCodePoint(lead, trail) == 0) return false;  // not a character
  // A character whose upper case the code page lacks is left as it is, so a
  // character always equals itself.
  const posix::cp936::CasePair* end = posix::cp936::kUpperCase + posix::cp936::kUpperCaseCount;
  const posix::cp936::CasePair* found = std::lower_bound(
      posix::cp936::kUpperCase, end, pair, [](const posix::cp936::CasePair& p, unsigned v) { return p.from < v; });
  *mapped = found != end && found->from == pair ? found->to : pair;
  return true;
}

}  // namespace

namespace posix {

const CodePage& LogicCodePage() {
  static const CodePage cp = MakeEastAsianCodePage(kAnsiCodePage, UpperCaseDoubleByte);
  return cp;
}

}  // namespace posix
