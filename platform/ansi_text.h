// Text rules for ANSI strings: byte strings in a code page where a character
// is one byte, or a lead byte and the byte after it.
//
// Every rule walks characters from the first byte with the lead-byte test
// alone: a lead byte together with the following byte is one character unless
// that byte is NUL; any other byte is one character. Strings end at their
// first NUL (or at their length, whichever comes first).
#pragma once

#include <cstddef>
#include <string>

#include "platform/code_page.h"

using AnsiString = std::string;

// Position of the last character that is the single byte `c`; npos when none.
// The second byte of a two-byte character never matches.
std::size_t ReverseFindByte(const CodePage& cp, const AnsiString& s, char c);

// Position of the first character start at which `what` follows; npos when
// none. Positions inside a two-byte character are never tried.
// Both compare up to the first NUL, as the system's string calls would.
std::size_t FindString(const CodePage& cp, const char* s, const char* what);
inline std::size_t FindString(const CodePage& cp, const AnsiString& s, const AnsiString& what) {
  return FindString(cp, s.c_str(), what.c_str());
}

// Case-insensitive equality of two names. Multi-byte code pages map single
// bytes through singleByteLower and two-byte characters through
// doubleByteUpper; a two-byte character that cannot be mapped makes the names
// unequal. A lead byte directly before the end counts as the end.
// Single-byte code pages fold A-Z only.
bool EqualsNoCase(const CodePage& cp, const char* a, const char* b);
inline bool EqualsNoCase(const CodePage& cp, const AnsiString& a, const AnsiString& b) {
  return EqualsNoCase(cp, a.c_str(), b.c_str());
}

// The key a name compares by under EqualsNoCase: two names have equal keys
// exactly when EqualsNoCase finds them equal, so names can be grouped by it.
// False, with no key, for a name that equals nothing (not even itself).
bool CaseKey(const CodePage& cp, const AnsiString& name, std::string* key);

// `text` (code page 936) as `cp` spells it exactly: the text itself where
// `cp` is 936, empty where `cp` cannot spell it.
AnsiString FromCodePage936(const CodePage& cp, const char* text);

// The four components of a path. `drive` is "X:" or empty; `directory` keeps
// its trailing separator; `extension` keeps its dot. Each is at most
// `maxComponent` bytes, cut at a character boundary (the C runtime's fixed
// buffers allow kMaxPathComponent).
struct PathParts {
  AnsiString drive;
  AnsiString directory;
  AnsiString fileName;
  AnsiString extension;
};
constexpr std::size_t kMaxPathComponent = 255;
PathParts SplitPath(const CodePage& cp, const AnsiString& path,
                    std::size_t maxComponent = kMaxPathComponent);

// The byte length of the character that starts at s[i]: 0 at the end, 2 for a
// lead byte followed by a non-NUL byte, 1 otherwise.
std::size_t CharLength(const CodePage& cp, const char* s);
