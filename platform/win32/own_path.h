// Whether an ANSI name is exactly the system's UTF-16 one: the updater's own
// path, and each name the staging folder lists. Every path the update builds
// starts from ANSI ones; a character the code page lacks, replaced by a
// default or a look-alike, could turn it into the path of another, existing
// file or folder.
//
// The conversions go through a seam so that tests can give code pages the
// conversion rules the system documents for them, whatever system the tests
// run on. No Windows header here.
#pragma once

#include <vector>

#include "platform/ansi_text.h"

namespace win32 {

// The system's converters between UTF-16 and a code page, with the
// parameters of WideCharToMultiByte and MultiByteToWideChar. usedDefault is
// a BOOL*.
class TextConverters {
 public:
  virtual ~TextConverters() = default;
  virtual int ToMultiByte(unsigned codePage, unsigned long flags, const wchar_t* wide, int wideLength,
                          char* out, int outSize, const char* defaultChar, int* usedDefault) = 0;
  virtual int ToWide(unsigned codePage, unsigned long flags, const char* bytes, int length,
                     wchar_t* out, int outSize) = 0;
};

// WideCharToMultiByte and MultiByteToWideChar themselves.
TextConverters& SystemConverters();

// True when `ansi` is exactly what `wide` becomes in `codePage` (CP_ACP, 0,
// for the system's ANSI code page) and turns back into exactly `wide`.
// Converts with no flags and asks for no default-character report, the only
// call that every code page accepts: UTF-8 (the ANSI code page when Windows
// is set to use it for every language), UTF-7, GB18030, the ISO-2022 family
// and others refuse WC_NO_BEST_FIT_CHARS or a default-character report. The
// round trip finds what those would: a best-fit or default character does
// not turn back into the character it replaced.
bool IsExactAnsiForm(const AnsiString& ansi, const std::vector<wchar_t>& wide, unsigned codePage,
                     TextConverters& converters = SystemConverters());

// `bytes` in UTF-16 as `codePage` reads them, with the same parameters.
// False when the system cannot convert them (the code page is not
// installed, say); empty bytes give an empty result.
bool ToWideForm(const AnsiString& bytes, unsigned codePage, std::vector<wchar_t>* wide,
                TextConverters& converters = SystemConverters());

// The own path the updater runs on. `ansi` is what the ANSI call gave,
// `wide` the UTF-16 path, `shortWide` its short (8.3) form, empty when the
// volume has none. `ansi` when it is exact in `codePage` and shorter than
// kMaxPath bytes; else the short form's ANSI spelling under the same two
// conditions; else empty: no form of the path can be used.
AnsiString UsableOwnPath(const AnsiString& ansi, const std::vector<wchar_t>& wide,
                         const std::vector<wchar_t>& shortWide, unsigned codePage,
                         TextConverters& converters = SystemConverters());

// `text`, in code page 936, as `codePage` spells it: through UTF-16, and
// only when IsExactAnsiForm holds for the result. Empty when `codePage`
// cannot spell it exactly or either conversion is unavailable.
AnsiString FromCodePage936(const AnsiString& text, unsigned codePage,
                           TextConverters& converters = SystemConverters());

// The short (8.3) form of the existing file or folder `path` (in the active
// code page), exactly as the active code page spells it; empty when the
// system gives none or the code page cannot spell it exactly.
AnsiString ShortAnsiPath(const AnsiString& path);

// The running executable's path as the system reports it in UTF-16; empty
// when it cannot be read. (A vector rather than std::wstring, which would
// bring a second string class into the program.)
std::vector<wchar_t> WideModulePath();

}  // namespace win32
