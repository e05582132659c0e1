#include "platform/posix/encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/posix/code_page_936.h"

namespace posix {
namespace {

constexpr unsigned kMaxCodePoint = 0x10FFFF;
constexpr unsigned kLeads = cp936::kLeads;

bool IsSurrogate(unsigned c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsDigit(unsigned char b) { return b >= '0' && b <= '9'; }
bool IsLead(unsigned char b) { return b >= cp936::kFirstLead && b <= cp936::kLastLead; }

// The code page 936 bytes of a code point (a single byte as that byte, two
// as lead << 8 | trail); 0 when the code page lacks it.
unsigned BytesOf(unsigned codePoint) {
  constexpr unsigned kDoubleBytes = cp936::kLeads * cp936::kTrails;
  const auto at = [](unsigned position) {
    return position < kDoubleBytes ? cp936::kDoubleByte[position] : cp936::kHighByte[position - kDoubleBytes];
  };
  const std::uint16_t* const end = cp936::kByCodePoint + cp936::kCharacterCount;
  const std::uint16_t* const found = std::lower_bound(
      cp936::kByCodePoint, end, codePoint, [&](std::uint16_t position, unsigned c) { return at(position) < c; });
  if (found == end || at(*found) != codePoint) return 0;
  if (*found >= kDoubleBytes) return 0x80 + (*found - kDoubleBytes);
  return (cp936::kFirstLead + *found / cp936::kTrails) << 8 | (cp936::kFirstTrail + *found % cp936::kTrails);
}

// Reads the UTF-8 sequence at s (n bytes left). Returns its length, or 0 when
// it is not the shortest form of one scalar value.
std::size_t ReadUtf8(const unsigned char* s, std::size_t n, unsigned* codePoint) {
  const unsigned char b = s[0];
  std::size_t length;
  unsigned c, min;
  if (b < 0x80) {
    *codePoint = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    length = 2, c = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, c = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (length > n) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (s[i] & 0x3F);
  }
  if (c < min || c > kMaxCodePoint || IsSurrogate(c)) return 0;
  *codePoint = c;
  return length;
}

// Calls `each` with every code point of `utf8`, in order; false, having
// stopped there, at the first sequence that is not valid UTF-8.
template <typename Each>
bool ForEachCodePoint(const std::string& utf8, Each each) {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  for (std::size_t i = 0, n = utf8.size(); i < n;) {
    unsigned c = 0;
    const std::size_t length = ReadUtf8(s + i, n - i, &c);
    if (length == 0) return false;
    i += length;
    each(c);
  }
  return true;
}

void AppendUtf8(unsigned c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The four-byte form: the code point in the digits of a mixed radix, most
// significant first, 126 values for a lead byte and 10 for a digit. The
// highest code point takes the first byte 0x81 + 88.
void AppendFourByteForm(unsigned c, std::string* out) {
  out->push_back(static_cast<char>(cp936::kFirstLead + c / (10 * kLeads * 10)));
  out->push_back(static_cast<char>('0' + c / (kLeads * 10) % 10));
  out->push_back(static_cast<char>(cp936::kFirstLead + c / 10 % kLeads));
  out->push_back(static_cast<char>('0' + c % 10));
}

// The code point four bytes spell when they are the form AppendFourByteForm
// gives for it; false otherwise.
bool ReadFourByteForm(const unsigned char* b, unsigned* codePoint) {
  if (!IsLead(b[0]) || !IsDigit(b[1]) || !IsLead(b[2]) || !IsDigit(b[3])) return false;
  const unsigned c = (((b[0] - cp936::kFirstLead) * 10u + (b[1] - '0')) * kLeads + (b[2] - cp936::kFirstLead)) * 10u +
                     (b[3] - '0');
  if (c < 0x80 || c > kMaxCodePoint || IsSurrogate(c) || BytesOf(c) != 0) return false;
  *codePoint = c;
  return true;
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
  return ForEachCodePoint(utf8, [ansi](unsigned c) {
    const unsigned bytes = c < 0x80 ? c : BytesOf(c);
    if (c >= 0x80 && bytes == 0) {
      AppendFourByteForm(c, ansi);
      return;
    }
    if (bytes > 0xFF) ansi->push_back(static_cast<char>(bytes >> 8));
    ansi->push_back(static_cast<char>(bytes & 0xFF));
  });
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  if (IsAscii(ansi.data(), ansi.size())) {
    *utf8 = ansi;
    return true;
  }
  utf8->clear();
  const auto* s = reinterpret_cast<const unsigned char*>(ansi.data());
  for (std::size_t i = 0, n = ansi.size(); i < n;) {
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
    } else if (!IsLead(s[i])) {
      if ((c = cp936::kHighByte[c - 0x80]) == 0) return false;
      ++i;
    } else if (i + 1 < n && IsDigit(s[i + 1])) {
      if (n - i < 4 || !ReadFourByteForm(s + i, &c)) return false;
      i += 4;
    } else {
      if (i + 1 >= n || (c = cp936::DoubleByteCodePoint(s[i], s[i + 1])) == 0) return false;
      i += 2;
    }
    AppendUtf8(c, utf8);
  }
  return true;
}

bool UnicodeCaseKey(const std::string& utf8, std::string* key) {
  key->clear();
  return ForEachCodePoint(utf8, [key](unsigned c) {
    if (c >= 0x80) {
      const UpperPair* const end = kUnicodeUpper + kUnicodeUpperCount;
      const UpperPair* const found =
          std::lower_bound(kUnicodeUpper, end, c, [](const UpperPair& p, unsigned v) { return p.from < v; });
      if (found != end && found->from == c) c = found->to;
    } else if (c >= 'a' && c <= 'z') {
      c -= 'a' - 'A';
    }
    // What came out as an ASCII letter (dotless i as I, say) is written as
    // the lower-case letter an ASCII name's key has.
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    AppendUtf8(c, key);
  });
}

}  // namespace posix
