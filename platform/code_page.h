// The code page that decides where characters begin in an ANSI string and how
// characters map for case-insensitive comparison.
//
// A CodePage is plain data plus one mapping callback, so the text rules can be
// exercised with any code page in tests, while each platform's services supply
// the system's own.
#pragma once

#include <array>
#include <functional>
#include <string>

// Upper-cases one two-byte character. Returns false when the pair is not a
// valid character of the code page or cannot be mapped. On success *mapped is
// the result: a single byte as that byte, two bytes as (first << 8) | second.
using DoubleByteUpperCase =
    std::function<bool(unsigned char lead, unsigned char trail, unsigned* mapped)>;

struct CodePage {
  unsigned number = 0;
  // True when some byte is a lead byte; false for a single-byte code page.
  bool multiByte = false;
  std::array<bool, 256> leadByte{};
  // Mapping applied to single-byte characters before comparison: the lower-case
  // form of bytes the system marks upper case, every other byte unchanged.
  std::array<unsigned char, 256> singleByteLower{};
  // Only consulted for two-byte characters, so only in multi-byte code pages.
  DoubleByteUpperCase doubleByteUpper;
  // A text of code page 936 (the updater's own texts are written in it) as
  // this code page spells it exactly; empty when it cannot. Unset for code
  // page 936 itself, where every text is its own spelling.
  std::string (*fromCodePage936)(const char* text) = nullptr;

  bool IsLeadByte(unsigned char b) const { return leadByte[b]; }
};

// A single-byte code page that folds only A-Z onto a-z.
CodePage MakeSingleByteCodePage(unsigned number);

// True for the East Asian code pages whose lead-byte ranges are fixed
// (932, 936, 949, 950, 1361).
bool HasFixedLeadBytes(unsigned number);

// A multi-byte code page with the fixed lead-byte ranges of `number` (which
// must satisfy HasFixedLeadBytes), ASCII-only folding for single bytes and the
// given two-byte mapping. Platforms may refine singleByteLower afterwards.
CodePage MakeEastAsianCodePage(unsigned number, DoubleByteUpperCase upper);
