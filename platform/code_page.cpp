#include "platform/code_page.h"

namespace {

struct ByteRange {
  unsigned char first, last;
};

// Lead-byte ranges the C runtime fixes for the East Asian code pages instead
// of asking the system.
struct FixedLeadBytes {
  unsigned number;
  ByteRange ranges[3];
  int count;
};

constexpr FixedLeadBytes kFixed[] = {
    {932, {{0x81, 0x9F}, {0xE0, 0xFC}}, 2},                 // Japanese Shift-JIS
    {936, {{0x81, 0xFE}}, 1},                               // Simplified Chinese GBK
    {949, {{0x81, 0xFE}}, 1},                               // Korean
    {950, {{0x81, 0xFE}}, 1},                               // Traditional Chinese Big5
    {1361, {{0x81, 0xD3}, {0xD8, 0xDE}, {0xE0, 0xF9}}, 3},  // Korean Johab
};

const FixedLeadBytes* FindFixed(unsigned number) {
  for (const FixedLeadBytes& f : kFixed)
    if (f.number == number) return &f;
  return nullptr;
}

void FillAsciiLower(CodePage* cp) {
  for (unsigned b = 0; b < 256; ++b)
    cp->singleByteLower[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
}

}  // namespace

CodePage MakeSingleByteCodePage(unsigned number) {
  CodePage cp;
  cp.number = number;
  FillAsciiLower(&cp);
  return cp;
}

bool HasFixedLeadBytes(unsigned number) { return FindFixed(number) != nullptr; }

CodePage MakeEastAsianCodePage(unsigned number, DoubleByteUpperCase upper) {
  CodePage cp;
  cp.number = number;
  cp.multiByte = true;
  FillAsciiLower(&cp);
  cp.doubleByteUpper = std::move(upper);
  if (const FixedLeadBytes* f = FindFixed(number)) {
    for (int i = 0; i < f->count; ++i)
      for (unsigned b = f->ranges[i].first; b <= f->ranges[i].last; ++b) cp.leadByte[b] = true;
  }
  return cp;
}
