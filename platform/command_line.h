// Splitting a command-line text into arguments, the way the C runtime's
// start-up does it for a program that receives one text (Windows).
#pragma once

#include <vector>

#include "platform/ansi_text.h"

// Splits `commandLine` into argv. When it is null or empty, `ownPath` is split
// instead. Only space and tab separate; a lead byte is always copied together
// with the byte after it, which is never taken as a quote, backslash or
// separator. argv[0] follows the program-name rule (quotes toggle, backslashes
// are plain); the other arguments follow the backslash-and-quote rules. A lead
// byte that is the very last byte is copied alone and ends the text.
// The result always holds argv[0], possibly empty.
std::vector<AnsiString> SplitCommandLine(const CodePage& cp, const char* commandLine,
                                         const char* ownPath);
