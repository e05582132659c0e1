// The code pages as Windows describes them. No Windows header here.
#pragma once

#include "platform/code_page.h"

// Code page `number` with its lead bytes and case rules from the system, as
// ProcessCodePage() builds the system's ANSI code page. A code page whose
// characters may be longer than one byte but that has no lead bytes (UTF-8,
// the ANSI code page where Windows is set to use it for every language) gets
// the single-byte rules: none of its bytes from 0x80 up is a backslash, a
// dot or a letter, so searches and comparisons need no boundaries there.
CodePage SystemCodePage(unsigned number);

// The system's ANSI code page, the one the process runs in. Built on first
// use, so a run that compares no names never queries the system's tables.
const CodePage& ProcessCodePage();
