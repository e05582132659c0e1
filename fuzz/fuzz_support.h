// Helpers shared by the fuzz targets: a check that aborts so libFuzzer
// reports the input, exactly sized copies for AddressSanitizer, the code
// pages the targets run in, and an independent walk over characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/ansi_text.h"
#include "platform/code_page.h"
#include "platform/posix/encoding.h"

#define FUZZ_CHECK(cond)                                    \
  do {                                                      \
    if (!(cond)) fuzz::Fail(#cond, __FILE__, __LINE__);     \
  } while (0)

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
  std::abort();
}

// A NUL-terminated heap copy with no spare byte, so reading past the
// terminator lands in AddressSanitizer's red zone.
class ExactCopy {
 public:
  explicit ExactCopy(const std::string& s) : bytes_(new char[s.size() + 1]) {
    std::memcpy(bytes_.get(), s.data(), s.size());
    bytes_[s.size()] = '\0';
  }
  const char* get() const { return bytes_.get(); }

 private:
  std::unique_ptr<char[]> bytes_;
};

// The bytes up to the first NUL, which is where every text rule stops.
inline std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

// The pieces of `s` between NUL bytes; always at least one.
inline std::vector<std::string> SplitAtNul(const std::string& s) {
  std::vector<std::string> pieces(1);
  for (char c : s) {
    if (c == '\0')
      pieces.emplace_back();
    else
      pieces.back().push_back(c);
  }
  return pieces;
}

inline std::string FromInput(const uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Upper-casing for a hand-made code page 936 that never fails: full-width
// a-z become full-width A-Z, and the full-width digits become the ASCII
// digits, so a two-byte character can compare equal to a single byte.
inline bool FullWidthUpper(unsigned char lead, unsigned char trail, unsigned* mapped) {
  if (lead == 0xA3 && trail >= 0xE1 && trail <= 0xFA)
    *mapped = 0xA300u | (trail - 0x20u);
  else if (lead == 0xA3 && trail >= 0xB0 && trail <= 0xB9)
    *mapped = '0' + (trail - 0xB0u);
  else
    *mapped = (static_cast<unsigned>(lead) << 8) | trail;
  return true;
}

// Upper-casing for a hand-made code page 932 that rejects pairs whose second
// byte lies outside 0x40-0xFC or is 0x7F, as Shift-JIS does, and maps the
// full-width a-z (0x82 0x81-0x9A) onto A-Z (0x82 0x60-0x79).
inline bool ShiftJisUpper(unsigned char lead, unsigned char trail, unsigned* mapped) {
  if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
  if (lead == 0x82 && trail >= 0x81 && trail <= 0x9A) trail = static_cast<unsigned char>(trail - 0x21);
  *mapped = (static_cast<unsigned>(lead) << 8) | trail;
  return true;
}

inline const CodePage& SingleByte() {
  static const CodePage cp = MakeSingleByteCodePage(1252);
  return cp;
}
inline const CodePage& HandMade936() {
  static const CodePage cp = MakeEastAsianCodePage(936, FullWidthUpper);
  return cp;
}
inline const CodePage& HandMade932() {
  static const CodePage cp = MakeEastAsianCodePage(932, ShiftJisUpper);
  return cp;
}

constexpr int kCodePageCount = 4;

// The code pages a target runs in, chosen by one input byte: the process's
// own (936 from its tables), a single-byte one, and two hand-made multi-byte
// ones with other lead-byte ranges and mappings.
inline const CodePage& CodePageFor(unsigned selector) {
  switch (selector % kCodePageCount) {
    case 0:
      return posix::LogicCodePage();
    case 1:
      return SingleByte();
    case 2:
      return HandMade936();
    default:
      return HandMade932();
  }
}

// One character of a string: where it starts and how many bytes it has.
struct Char {
  std::size_t pos;
  std::size_t len;
};

// The characters of `s` up to its first NUL, found from the first byte with
// the lead-byte test alone: a lead byte and the byte after it form one
// character unless that byte is NUL (or the end of `s`).
inline std::vector<Char> Characters(const CodePage& cp, const std::string& s) {
  std::vector<Char> chars;
  for (std::size_t i = 0; i < s.size() && s[i] != '\0';) {
    const bool pair = cp.IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
                      s[i + 1] != '\0';
    chars.push_back({i, pair ? 2u : 1u});
    i += chars.back().len;
  }
  return chars;
}

inline bool IsByte(const std::string& s, const Char& c, char b) { return c.len == 1 && s[c.pos] == b; }

// Whether `n` bytes into `s` is where a character starts or where `s` ends.
inline bool IsBoundary(const std::vector<Char>& chars, std::size_t end, std::size_t n) {
  if (n == end) return true;
  for (const Char& c : chars)
    if (c.pos == n) return true;
  return false;
}

// `s` without a lead byte that stands alone at its end.
inline std::string WithoutLoneLead(const CodePage& cp, const std::string& s) {
  const std::vector<Char> chars = Characters(cp, s);
  std::string t = UpToNul(s);
  if (!chars.empty() && chars.back().len == 1 &&
      cp.IsLeadByte(static_cast<unsigned char>(t[chars.back().pos])))
    t.pop_back();
  return t;
}

inline bool HasLeadByte(const CodePage& cp, const std::string& s) {
  for (char c : s)
    if (cp.IsLeadByte(static_cast<unsigned char>(c))) return true;
  return false;
}

inline bool IsAscii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace fuzz
