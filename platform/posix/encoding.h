// Conversion between the file system's UTF-8 and the code page 936 bytes the
// update logic works in. Backed by the C library's iconv, opened on first use.
#pragma once

#include <string>

namespace posix {

// Converts one UTF-8 text to code page 936. Fails when the text is not valid
// UTF-8, holds a character code page 936 lacks, or would not convert back to
// the very same bytes (so two names can never be confused).
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);

// Converts code page 936 bytes to UTF-8. Fails on bytes that are no character.
bool AnsiToUtf8(const std::string& ansi, std::string* utf8);

// Converts a two-byte code page 936 character to a Unicode code point and
// back. Used for case mapping; both fail on anything that does not convert.
bool AnsiCharToCodePoint(unsigned char lead, unsigned char trail, unsigned* codePoint);
bool CodePointToAnsi(unsigned codePoint, std::string* ansi);

}  // namespace posix
