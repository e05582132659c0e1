// The active code page on Windows: the system ANSI code page, with its lead
// bytes and case mappings taken from the system, as the C runtime's
// multi-byte support sets them up.
#include <windows.h>

#include "platform/win32/code_page_win32.h"
#include "platform/win32/own_path.h"

namespace {

// The locale whose case rules go with an East Asian code page; 0 (the
// user's default) for every other.
LCID LocaleFor(unsigned codePage) {
  switch (codePage) {
    case 936: return 2052;  // Chinese (PRC)
    case 932: return 1041;  // Japanese
    case 949: return 1042;  // Korean
    case 950: return 1028;  // Chinese (Taiwan)
    default: return 0;
  }
}

// Upper-cases a two-byte character through UTF-16 in the code page's locale.
bool UpperCaseDoubleByte(unsigned codePage, unsigned char lead, unsigned char trail,
                         unsigned* mapped) {
  const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  wchar_t wide[4];
  const int wideLength = MultiByteToWideChar(codePage, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, bytes,
                                             2, wide, 4);
  if (wideLength <= 0) return false;
  wchar_t upper[4];
  const int upperLength =
      LCMapStringW(LocaleFor(codePage), LCMAP_UPPERCASE, wide, wideLength, upper, 4);
  if (upperLength <= 0) return false;
  char back[4];
  BOOL usedDefault = FALSE;
  const int backLength =
      WideCharToMultiByte(codePage, 0, upper, upperLength, back, sizeof back, nullptr, &usedDefault);
  if (backLength <= 0 || backLength > 2) return false;
  // An upper-case form the code page lacks would come back as the default
  // character and make the letter equal to "?"; it stays as it is instead.
  if (usedDefault) {
    *mapped = (static_cast<unsigned>(lead) << 8) | trail;
    return true;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(back);
  *mapped = backLength == 1 ? b[0] : (static_cast<unsigned>(b[0]) << 8) | b[1];
  return true;
}

// The single-byte part of the case rule: bytes the system's character types
// mark upper case map to the system's lower-case form, all others to
// themselves. Left as the caller set it up when the system cannot say.
void FillSingleByteLower(CodePage* cp) {
  const LCID locale = LocaleFor(cp->number);
  std::array<unsigned char, 256> lower{};
  for (unsigned b = 0; b < 256; ++b) {
    lower[b] = static_cast<unsigned char>(b);
    if (b == 0 || cp->IsLeadByte(static_cast<unsigned char>(b))) continue;
    const char c = static_cast<char>(b);
    WORD type = 0;
    if (!GetStringTypeA(locale, CT_CTYPE1, &c, 1, &type)) return;
    if ((type & C1_UPPER) == 0) continue;
    char mappedLower[2];
    if (LCMapStringA(locale, LCMAP_LOWERCASE, &c, 1, mappedLower, sizeof mappedLower) == 1)
      lower[b] = static_cast<unsigned char>(mappedLower[0]);
  }
  cp->singleByteLower = lower;
}

}  // namespace

CodePage SystemCodePage(unsigned number) {
  const DoubleByteUpperCase upper = [number](unsigned char lead, unsigned char trail,
                                             unsigned* mapped) {
    return UpperCaseDoubleByte(number, lead, trail, mapped);
  };

  CodePage cp;
  if (HasFixedLeadBytes(number)) {
    cp = MakeEastAsianCodePage(number, upper);
  } else {
    CPINFO info;
    if (!GetCPInfo(number, &info) || info.MaxCharSize <= 1) return MakeSingleByteCodePage(number);
    cp = MakeSingleByteCodePage(number);
    // LeadByte holds up to five inclusive ranges, ended by a pair of zeros.
    for (int i = 0; i + 1 < MAX_LEADBYTES && (info.LeadByte[i] != 0 || info.LeadByte[i + 1] != 0);
         i += 2) {
      for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) {
        cp.leadByte[b] = true;
        cp.multiByte = true;
      }
    }
    // Characters longer than one byte but no lead bytes (UTF-8 as the ANSI
    // code page): every byte is a character of its own to these rules.
    if (!cp.multiByte) return cp;
    cp.doubleByteUpper = upper;
  }
  FillSingleByteLower(&cp);
  return cp;
}

const CodePage& ProcessCodePage() {
  static const CodePage cp = [] {
    CodePage built = SystemCodePage(GetACP());
    // Through UTF-16 (see own_path.h), except in 936 itself.
    if (built.number != 936)
      built.fromCodePage936 = [](const char* text) -> std::string { return win32::FromCodePage936(text, CP_ACP); };
    return built;
  }();
  return cp;
}
