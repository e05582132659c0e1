// Conversion between the file system's UTF-8 and the code page 936 bytes the
// update logic works in, through the tables of code_page_936.h: no converter
// or locale is opened at run time.
#pragma once

#include <cstddef>
#include <string>

#include "platform/code_page.h"

namespace posix {

// Bytes below 0x80 are the same characters in UTF-8 and in code page 936, and
// none of them is a lead byte: a pure ASCII text converts to itself, byte for
// byte. Most names and paths are ASCII, and take a shortcut.
bool IsAscii(const char* text, std::size_t size);

// Converts one UTF-8 text to the logic's bytes. Every character code page 936
// has keeps its 936 bytes, so every text that works in 936 keeps its bytes.
// Every other Unicode scalar value takes a four-byte form of the program's
// own: lead, digit, lead, digit (lead bytes 0x81-0xFE), spelling the code
// point in the mixed radix 126-10-126-10. Code page 936 has no character
// whose second byte is a digit, so such a form is never a 936 text, and the
// text rules read it as two two-byte characters that have no case. The form
// exists only in memory: nothing written to disk or shown holds it.
// Each valid UTF-8 text has exactly one logic form and AnsiToUtf8 gives the
// text back. Fails only when the text is not valid UTF-8 (overlong, a
// surrogate, beyond U+10FFFF, cut short).
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);

// The inverse: converts the logic's bytes to UTF-8. Fails on bytes that are
// no character, and on a four-byte form that Utf8ToAnsi never gives (one that
// spells a character code page 936 has, or no scalar value), so no two logic
// texts stand for the same name.
bool AnsiToUtf8(const std::string& ansi, std::string* utf8);

// The key a native (UTF-8) name matches others by, as the Windows file
// system matches names: each character as its simple upper-case form
// (kUnicodeUpper), ASCII letters written in lower case so that a name of
// ASCII only is its own key folded. False for text that is not valid UTF-8.
bool UnicodeCaseKey(const std::string& utf8, std::string* key);

// The code page the logic's strings are in: 936's lead bytes, and two-byte
// characters upper-cased by the tables of code_page_936.h.
const CodePage& LogicCodePage();

}  // namespace posix
