#include "platform/ansi_text.h"

#include <cstring>

std::size_t CharLength(const CodePage& cp, const char* s) {
  const unsigned char b = static_cast<unsigned char>(s[0]);
  if (b == 0) return 0;
  // A lead byte before the terminating NUL stands alone.
  return cp.IsLeadByte(b) && s[1] != '\0' ? 2 : 1;
}

std::size_t ReverseFindByte(const CodePage& cp, const AnsiString& s, char c) {
  const char* p = s.c_str();
  std::size_t found = AnsiString::npos;
  for (std::size_t i = 0, n; (n = CharLength(cp, p + i)) != 0; i += n)
    if (n == 1 && p[i] == c) found = i;
  return found;
}

std::size_t FindString(const CodePage& cp, const char* s, const char* what) {
  const char* p = s;
  const std::size_t end = std::strlen(p);
  const char* w = what;
  const std::size_t wn = std::strlen(w);
  for (std::size_t i = 0, n;; i += n) {
    if (end - i >= wn && std::memcmp(p + i, w, wn) == 0) return i;
    if ((n = CharLength(cp, p + i)) == 0) return AnsiString::npos;
  }
}

namespace {

// The value a character compares as; false when a two-byte character cannot
// be mapped. Advances *p past the character; returns with *atEnd set when the
// string has ended (a lead byte right before NUL counts as the end).
bool NextMapped(const CodePage& cp, const unsigned char** p, unsigned* value, bool* atEnd) {
  const unsigned char* s = *p;
  *atEnd = false;
  if (s[0] == 0 || (cp.IsLeadByte(s[0]) && s[1] == 0)) {
    *atEnd = true;
    return true;
  }
  if (cp.IsLeadByte(s[0])) {
    *p = s + 2;
    return cp.doubleByteUpper && cp.doubleByteUpper(s[0], s[1], value);
  }
  *value = cp.singleByteLower[s[0]];
  *p = s + 1;
  return true;
}

}  // namespace

bool EqualsNoCase(const CodePage& cp, const char* a, const char* b) {
  const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
  if (!cp.multiByte) {
    // Only the ASCII letters fold; every other byte compares exactly.
    for (;; ++pa, ++pb) {
      const unsigned ca = cp.singleByteLower[*pa], cb = cp.singleByteLower[*pb];
      if (ca != cb) return false;
      if (ca == 0) return true;
    }
  }
  for (;;) {
    // ASCII bytes are characters of their own in every code page, and most
    // names are ASCII.
    if (*pa < 0x80 && *pb < 0x80) {
      if (cp.singleByteLower[*pa] != cp.singleByteLower[*pb]) return false;
      if (*pa == 0) return true;
      ++pa, ++pb;
      continue;
    }
    unsigned va = 0, vb = 0;
    bool endA = false, endB = false;
    if (!NextMapped(cp, &pa, &va, &endA) || !NextMapped(cp, &pb, &vb, &endB)) return false;
    if (endA || endB) return endA && endB;
    if (va != vb) return false;
  }
}

bool CaseKey(const CodePage& cp, const AnsiString& name, std::string* key) {
  key->clear();
  key->reserve(name.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(name.c_str());
  if (!cp.multiByte) {
    for (; *p != 0; ++p) key->push_back(static_cast<char>(cp.singleByteLower[*p]));
    return true;
  }
  // Each character's mapped value, as the comparison sees it: a value below
  // 0xFF as that one byte, any other as 0xFF and its two bytes. No sequence of
  // values shares its bytes with another, and a name of single bytes has a
  // key as short as itself.
  for (;;) {
    unsigned value = 0;
    if (*p == 0) return true;
    if (!cp.IsLeadByte(*p)) {
      value = cp.singleByteLower[*p++];  // most names are single bytes only
    } else {
      bool atEnd = false;
      if (!NextMapped(cp, &p, &value, &atEnd)) {
        key->clear();
        return false;
      }
      if (atEnd) return true;
    }
    if (value < 0xFF) {
      key->push_back(static_cast<char>(value));
    } else {
      key->push_back(static_cast<char>(0xFF));
      key->push_back(static_cast<char>((value >> 8) & 0xFF));
      key->push_back(static_cast<char>(value & 0xFF));
    }
  }
}

namespace {

// The first `limit` bytes of [begin, end), shortened so no two-byte character
// is split.
AnsiString Cut(const CodePage& cp, const char* begin, const char* end, std::size_t limit) {
  std::size_t keep = 0;
  for (std::size_t n; begin + keep < end && (n = CharLength(cp, begin + keep)) != 0; keep += n)
    if (keep + n > limit || begin + keep + n > end) break;
  return AnsiString(begin, keep);
}

}  // namespace

PathParts SplitPath(const CodePage& cp, const AnsiString& path, std::size_t maxComponent) {
  PathParts parts;
  const char* p = path.c_str();
  const char* end = p + std::strlen(p);
  if (end - p >= 2 && p[1] == ':') {
    parts.drive.assign(p, 2);
    p += 2;
  }
  const char* nameStart = p;  // just after the last separator
  const char* lastDot = nullptr;
  for (const char* q = p; q < end;) {
    const std::size_t n = CharLength(cp, q);
    if (n == 1 && (*q == '\\' || *q == '/')) nameStart = q + 1;
    if (n == 1 && *q == '.') lastDot = q;
    q += n;
  }
  parts.directory = Cut(cp, p, nameStart, maxComponent);
  if (lastDot != nullptr && lastDot >= nameStart) {
    parts.fileName = Cut(cp, nameStart, lastDot, maxComponent);
    parts.extension = Cut(cp, lastDot, end, maxComponent);
  } else {
    parts.fileName = Cut(cp, nameStart, end, maxComponent);
  }
  return parts;
}

AnsiString FromCodePage936(const CodePage& cp, const char* text) {
  return cp.fromCodePage936 ? AnsiString(cp.fromCodePage936(text)) : AnsiString(text);
}
