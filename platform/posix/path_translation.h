// Translation between the update logic's paths (code page 936, backslash
// separated, no drive) and the file system's (UTF-8, slash separated).
//
// Characters code page 936 lacks take a four-byte form of their own (see
// encoding.h), so every valid UTF-8 name has a logic form. What stays out is
// a name that is not valid UTF-8 and a name that holds a backslash (the logic
// would split it in two). Such a staged file is never listed to the logic, so
// it stays staged and untouched, and nothing reports it: no message, no line
// on standard error, no other exit code, as for any name the pass does not
// apply. An own path holding one is refused at start-up (exit code 1, a line
// on standard error, no pass); the host is still started, from the native
// folder.
#pragma once

#include <string>

namespace posix {

// "/a/b" becomes "\a\b" in the logic's code page. Fails when a component is
// not valid UTF-8 or holds a backslash.
bool LogicFromNative(const std::string& native, std::string* logic);

// One file name (no separators) as the logic sees it; same failures.
bool LogicNameFromNative(const std::string& nativeName, std::string* logicName);

// "\a\b" (or "/a/b") becomes "/a/b" in UTF-8, component by component, split
// at character boundaries so a second byte 0x5C never separates. Fails on
// bytes that are no character.
bool NativeFromLogic(const std::string& logic, std::string* native);

}  // namespace posix
