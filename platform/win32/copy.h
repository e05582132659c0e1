// The atomic, durable copy of the Windows platform, the temporaries its
// copies go through, and the comparison that finds a copy made already. No Windows header here.
#pragma once

#include "platform/ansi_text.h"

namespace win32 {

// Whether `name` is exactly of the form every run gives its copies'
// temporaries, letter case included; anything else a search for
// TemporaryPattern finds (a vendor's "~SUnotes.tmp") is someone else's.
bool IsTemporaryName(const char* name);

// The search pattern for the temporaries in `folder` (ending in a
// backslash).
AnsiString TemporaryPattern(const AnsiString& folder);

// Deletes the file at `path`, also a read-only one (see copy.cpp); false with
// the first error as the last error when it cannot.
bool DeleteEvenReadOnly(const AnsiString& path);

// Whether the files at `a` and `b` hold the same bytes; false also when
// either cannot be opened or read to its end.
bool SameBytes(const AnsiString& a, const AnsiString& b);

// Copies `from` to `to`, whose folder `folder` is (ending in a backslash, or
// empty), creating `to` or replacing the file there: through a temporary of
// this run's own beside it, flushed and renamed over it with write-through.
// On failure `to` is as it was and the temporary is gone. Returns
// ERROR_SUCCESS or the system's error code.
unsigned long CopyIntoFolder(const AnsiString& from, const AnsiString& folder, const AnsiString& to);

}  // namespace win32
