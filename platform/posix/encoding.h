// Conversion between the file system's UTF-8 and the code page 936 bytes the
// update logic works in. Backed by the C library's iconv, opened the first
// time a text that is not pure ASCII needs it.
#pragma once

#include <cstddef>
#include <string>

#include "platform/code_page.h"

namespace posix {

// Bytes below 0x80 are the same characters in UTF-8 and in code page 936, and
// none of them is a lead byte: a pure ASCII text converts to itself, byte for
// byte. Most names and paths are ASCII; for them no converter is ever opened,
// which spares the start-up the loading of the conversion modules.
bool IsAscii(const char* text, std::size_t size);

// Converts one UTF-8 text to the logic's bytes: code page 936 for every
// character it has, so every text that works in 936 keeps its bytes, and
// GB18030's four-byte form (lead, digit, lead, digit; the superset of 936
// that covers all of Unicode, Windows' code page 54936) for every character it
// lacks. Fails when the text is not valid UTF-8 or would not convert back to
// the very same bytes (so two names can never be confused).
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);

// Converts the logic's bytes (code page 936 with GB18030 four-byte forms) to
// UTF-8. Fails on bytes that are no character.
bool AnsiToUtf8(const std::string& ansi, std::string* utf8);

// Converts a two-byte code page 936 character to a Unicode code point and
// back. Used for case mapping; both fail on anything that does not convert.
bool AnsiCharToCodePoint(unsigned char lead, unsigned char trail, unsigned* codePoint);
bool CodePointToAnsi(unsigned codePoint, std::string* ansi);

// The code page the logic's strings are in: 936's lead bytes, and two-byte
// characters upper-cased through Unicode. Built on first use, so a run that
// compares no names never loads conversion tables.
const CodePage& LogicCodePage();

}  // namespace posix
