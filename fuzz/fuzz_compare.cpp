// EqualsNoCase and CaseKey on arbitrary names. The first input byte picks the code page;
// the rest is split at NUL bytes into the names a, b and c.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Char;

bool Equal(const CodePage& cp, const std::string& a, const std::string& b) {
  return EqualsNoCase(cp, a, b);
}

std::string AsciiLower(const std::string& s) {
  std::string out = fuzz::UpToNul(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

char SwapCase(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  return c;
}

bool IsLetter(char c) { return SwapCase(c) != c; }

// Whether every two-byte character of `s` can be mapped; only then can `s`
// equal anything, itself included.
bool AllCharactersMap(const CodePage& cp, const std::string& s) {
  for (const Char& c : fuzz::Characters(cp, s)) {
    unsigned mapped = 0;
    if (c.len == 2 && !cp.doubleByteUpper(static_cast<unsigned char>(s[c.pos]),
                                          static_cast<unsigned char>(s[c.pos + 1]), &mapped))
      return false;
  }
  return true;
}

// `s` with the letter case of every single-byte ASCII letter swapped; the
// second bytes of two-byte characters stay as they are.
std::string SwapLetterCase(const CodePage& cp, const std::string& s) {
  std::string out = fuzz::UpToNul(s);
  for (const Char& c : fuzz::Characters(cp, out))
    if (c.len == 1) out[c.pos] = SwapCase(out[c.pos]);
  return out;
}

// Whether the two names have keys and the keys are equal.
bool SameKey(const CodePage& cp, const std::string& a, const std::string& b) {
  std::string ka, kb;
  return CaseKey(cp, a, &ka) && CaseKey(cp, b, &kb) && ka == kb;
}

void CheckPair(const CodePage& cp, const std::string& a, const std::string& b) {
  const bool equal = Equal(cp, a, b);
  // Grouping names by key finds exactly the names the comparison finds equal.
  FUZZ_CHECK(SameKey(cp, a, b) == equal);
  FUZZ_CHECK(Equal(cp, b, a) == equal);
  // A lead byte right before the end counts as the end.
  FUZZ_CHECK(Equal(cp, fuzz::WithoutLoneLead(cp, a), b) == equal);
  // A name that equals another equals itself.
  if (equal) FUZZ_CHECK(Equal(cp, a, a) && Equal(cp, b, b));

  // Names made of single-byte characters only fold A-Z, here and in every
  // single-byte code page.
  if (!cp.multiByte || (!fuzz::HasLeadByte(cp, a) && !fuzz::HasLeadByte(cp, b)))
    FUZZ_CHECK(equal == (AsciiLower(a) == AsciiLower(b)));
  if (fuzz::IsAscii(a) && fuzz::IsAscii(b))
    for (int i = 0; i < fuzz::kCodePageCount; ++i)
      FUZZ_CHECK(Equal(fuzz::CodePageFor(i), a, b) == equal);
}

void CheckName(const CodePage& cp, const std::string& a) {
  FUZZ_CHECK(Equal(cp, a, a) == AllCharactersMap(cp, a));
  if (&cp == &fuzz::HandMade936() || !cp.multiByte) FUZZ_CHECK(Equal(cp, a, a));

  // Letter case of single bytes never matters ...
  FUZZ_CHECK(Equal(cp, a, SwapLetterCase(cp, a)) == Equal(cp, a, a));

  // ... but a second byte is part of its character: changing the case of a
  // letter there makes another character, which never maps to the same
  // value (this holds for every pair of code page 936 characters too).
  if (cp.multiByte) {
    std::string other = fuzz::UpToNul(a);
    for (const Char& c : fuzz::Characters(cp, other)) {
      if (c.len == 2 && IsLetter(other[c.pos + 1])) {
        other[c.pos + 1] = SwapCase(other[c.pos + 1]);
        FUZZ_CHECK(!Equal(cp, a, other));
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const CodePage& cp = fuzz::CodePageFor(data[0]);
  const std::string rest = fuzz::FromInput(data + 1, size - 1);
  std::vector<std::string> names = fuzz::SplitAtNul(rest);
  if (names.size() < 3) names.resize(3);
  const std::string& a = names[0];
  const std::string& b = names[1];
  const std::string& c = names[2];

  // Nothing after a NUL takes part: `rest` is a followed by NUL and more.
  FUZZ_CHECK(Equal(cp, rest, a) == Equal(cp, a, a));
  FUZZ_CHECK(Equal(cp, a, b) == Equal(cp, a, b + '\0' + c));

  CheckName(cp, a);
  CheckPair(cp, a, b);
  CheckPair(cp, b, c);
  if (Equal(cp, a, b) && Equal(cp, b, c)) FUZZ_CHECK(Equal(cp, a, c));
  return 0;
}
