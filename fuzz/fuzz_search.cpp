// ReverseFindByte and FindString on arbitrary text. Input layout: code page
// selector, the byte to search for, then the character index and length (mod
// 8) of a needle cut from the text, then the text, a NUL, and a second
// needle given directly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Char;
constexpr std::size_t npos = AnsiString::npos;

// The last character that is the single byte `b`.
std::size_t LastSingleByte(const std::string& s, const std::vector<Char>& chars, char b) {
  std::size_t found = npos;
  for (const Char& c : chars)
    if (fuzz::IsByte(s, c, b)) found = c.pos;
  return found;
}

// The first character start at which `what` follows; the empty needle is
// found at the start.
std::size_t FirstMatch(const std::string& s, const std::vector<Char>& chars,
                       const std::string& what) {
  if (what.empty()) return 0;
  for (const Char& c : chars)
    if (s.compare(c.pos, what.size(), what) == 0) return c.pos;
  return npos;
}

void CheckFind(const CodePage& cp, const std::string& text, const std::string& s,
               const std::vector<Char>& chars, const std::string& whatGiven) {
  const std::string what = fuzz::UpToNul(whatGiven);
  const std::size_t found = FindString(cp, text, whatGiven);
  FUZZ_CHECK(found == FirstMatch(s, chars, what));
  if (!cp.multiByte || !fuzz::HasLeadByte(cp, s)) FUZZ_CHECK(found == s.find(what));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const CodePage& cp = fuzz::CodePageFor(data[0]);
  const char byte = static_cast<char>(data[1]);
  const std::string text = fuzz::FromInput(data + 4, size - 4);  // NULs and all
  const std::string s = fuzz::UpToNul(text);
  const std::vector<Char> chars = fuzz::Characters(cp, s);

  // CharLength agrees with the walk: 0 at the end, else the character's length.
  for (const Char& c : chars) FUZZ_CHECK(CharLength(cp, s.c_str() + c.pos) == c.len);
  FUZZ_CHECK(CharLength(cp, s.c_str() + s.size()) == 0);

  const std::size_t last = ReverseFindByte(cp, text, byte);
  FUZZ_CHECK(last == LastSingleByte(s, chars, byte));
  if (!cp.multiByte || !fuzz::HasLeadByte(cp, s)) FUZZ_CHECK(last == s.rfind(byte));

  // For a byte that starts no two-byte character, the forward search finds a
  // match exactly when the reverse search does, and not after it.
  if (byte != '\0' && !cp.IsLeadByte(static_cast<unsigned char>(byte))) {
    const std::size_t first = FindString(cp, text, std::string(1, byte));
    FUZZ_CHECK((first == npos) == (last == npos));
    if (first != npos) FUZZ_CHECK(first <= last);
  }

  const std::string rest = text.size() > s.size() ? text.substr(s.size() + 1) : std::string();
  CheckFind(cp, text, s, chars, rest);

  // A needle taken from a character start is found there or earlier.
  if (!chars.empty()) {
    const std::size_t from = chars[data[2] % chars.size()].pos;
    const std::string what = s.substr(from, data[3] % 8);
    CheckFind(cp, text, s, chars, what);
    FUZZ_CHECK(FindString(cp, text, what) <= from);
  }
  return 0;
}
