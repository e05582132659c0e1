// A 77-byte identification record carried in the executable's initialised
// data, for tools that look for it in the file. Nothing in the updater reads
// it; it is exported only so the linker keeps it.
#pragma once

#include <cstddef>

constexpr std::size_t kIdentificationBlockSize = 77;
extern "C" char selfupdate_identification[kIdentificationBlockSize];
