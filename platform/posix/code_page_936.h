// Code page 936 as tables compiled into the program: each character's code
// point, and the upper-case form of each two-byte character whose upper case
// the code page also has. The tables (code_page_936_tables.cpp) were written
// by code_page_936_generator.cpp from the C library's converter and its
// C.UTF-8 case rules, so the updater reads them without opening a converter
// or a locale: a statically linked program has neither at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace posix {
namespace cp936 {

constexpr unsigned kFirstLead = 0x81, kLastLead = 0xFE;
constexpr unsigned kFirstTrail = 0x40, kLastTrail = 0xFE;
constexpr unsigned kLeads = kLastLead - kFirstLead + 1;
constexpr unsigned kTrails = kLastTrail - kFirstTrail + 1;

// The code point of each two-byte character, lead by lead, kTrails to a lead;
// 0 for a pair that is no character. Every code point is in the Basic
// Multilingual Plane, at least 0x80, and appears at most once (in this table
// and kHighByte together). No second byte is a digit.
extern const std::uint16_t kDoubleByte[kLeads * kTrails];

// The code point of each single byte 0x80-0xFF; 0 for a byte that is no
// character on its own (the lead bytes, and 0xFF).
extern const std::uint16_t kHighByte[0x80];

// Every character of the two tables above, ordered by code point, as its
// position: i for kDoubleByte[i], kLeads * kTrails + b for kHighByte[b]. So a
// code point's bytes are found by a binary search, with nothing to build at
// run time.
extern const std::uint16_t kByCodePoint[];
extern const std::size_t kCharacterCount;

// A two-byte character (lead << 8 | trail) and its upper-case form: a single
// byte as that byte, two bytes as lead << 8 | trail. Sorted by `from`; only
// characters whose upper case differs and exists in the code page appear.
struct CasePair {
  std::uint16_t from, to;
};
extern const CasePair kUpperCase[];
extern const std::size_t kUpperCaseCount;

}  // namespace cp936

// Every code point from 0x80 up whose upper-case form (the simple one: one
// code point for one) differs from it, with that form, by the same C.UTF-8
// rules: how the Windows file system matches letters of any script. Sorted
// by `from`.
struct UpperPair {
  std::uint32_t from, to;
};
extern const UpperPair kUnicodeUpper[];
extern const std::size_t kUnicodeUpperCount;

namespace cp936 {

// The code point of a two-byte character; 0 when the pair is none.
inline unsigned DoubleByteCodePoint(unsigned char lead, unsigned char trail) {
  if (lead < kFirstLead || lead > kLastLead || trail < kFirstTrail || trail > kLastTrail) return 0;
  return kDoubleByte[(lead - kFirstLead) * kTrails + (trail - kFirstTrail)];
}

}  // namespace cp936
}  // namespace posix
