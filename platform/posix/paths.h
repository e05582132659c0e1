// Translation between the update logic's paths (code page 936, backslash
// separated, no drive) and the file system's (UTF-8, slash separated), and the
// case-insensitive lookup that makes a POSIX file system answer like a
// Windows one.
#pragma once

#include <string>

namespace posix {

// "/a/b" becomes "\a\b" in code page 936. Fails when a component is not
// valid UTF-8, holds a character code page 936 lacks, or holds a backslash.
bool LogicFromNative(const std::string& native, std::string* logic);

// One file name (no separators) as the logic sees it; same failures.
bool LogicNameFromNative(const std::string& nativeName, std::string* logicName);

// "\a\b" (or "/a/b") becomes "/a/b" in UTF-8, component by component, split
// at character boundaries so a second byte 0x5C never separates. Fails on
// bytes that are no code page 936 character.
bool NativeFromLogic(const std::string& logic, std::string* native);

// The existing path that `native` names when letter case is ignored: each
// component that does not exist exactly is replaced by an entry of its folder
// whose name matches without regard to case (the smallest such name when
// there are several); a component with no match, and everything after it, is
// kept as given. So the result names an existing entry, or is where a new
// entry with the given name would go. A folder asked about again and again is
// answered from an index of its names that the kernel's change reports keep
// current, with the same answers as reading the folder each time.
std::string ResolveCase(const std::string& native);

// Logic path to a resolved native path in one step; false when untranslatable.
bool ResolveLogic(const std::string& logic, std::string* native);

}  // namespace posix
