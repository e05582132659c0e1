// Character boundaries, searches, case-insensitive comparison and path
// splitting on ANSI strings, in code page 936 and in a single-byte code page.
//
// Byte strings are written with adjacent literals ("\x81" "A") wherever a
// hex escape would otherwise swallow the following letter.
#include <gtest/gtest.h>

#include <string>

#include "platform/ansi_text.h"
#include "platform/code_page.h"
#include "tests/memory_services.h"

namespace {

const std::size_t npos = AnsiString::npos;

// Stand-in for the system's two-byte upper-casing: full-width a-z (A3E1-A3FA)
// map to full-width A-Z, any pair with lead byte 0xFE is not a character, and
// everything else maps to itself.
bool FakeUpper(unsigned char lead, unsigned char trail, unsigned* mapped) {
  if (lead == 0xFE) return false;
  if (lead == 0xA3 && trail >= 0xE1 && trail <= 0xFA) trail -= 0x20;
  *mapped = (static_cast<unsigned>(lead) << 8) | trail;
  return true;
}

const CodePage& Cp936() {
  static const CodePage cp = MakeEastAsianCodePage(936, FakeUpper);
  return cp;
}
const CodePage& Cp1252() {
  static const CodePage cp = MakeSingleByteCodePage(1252);
  return cp;
}

AnsiString Rep(const AnsiString& s, int n) {
  AnsiString r;
  while (n-- > 0) r += s;
  return r;
}

TEST(CodePages, FixedLeadByteRangesOfTheEastAsianCodePages) {
  const struct {
    unsigned number;
    unsigned byte;
    bool lead;
  } cases[] = {
      {932, 0x80, false},  {932, 0x81, true},   {932, 0x9F, true},   {932, 0xA0, false},
      {932, 0xDF, false},  {932, 0xE0, true},   {932, 0xFC, true},   {932, 0xFD, false},
      {936, 0x7F, false},  {936, 0x80, false},  {936, 0x81, true},   {936, 0xFE, true},
      {936, 0xFF, false},  {936, 0x5C, false},  {936, 0x00, false},  {949, 0x80, false},
      {949, 0x81, true},   {949, 0xFE, true},   {949, 0xFF, false},  {950, 0x80, false},
      {950, 0x81, true},   {950, 0xFE, true},   {950, 0xFF, false},  {1361, 0x80, false},
      {1361, 0x81, true},  {1361, 0xD3, true},  {1361, 0xD4, false}, {1361, 0xD7, false},
      {1361, 0xD8, true},  {1361, 0xDE, true},  {1361, 0xDF, false}, {1361, 0xE0, true},
      {1361, 0xF9, true},  {1361, 0xFA, false}, {1361, 0xFF, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.number << " byte 0x" << std::hex << c.byte);
    const CodePage cp = MakeEastAsianCodePage(c.number, FakeUpper);
    EXPECT_EQ(cp.number, c.number);
    EXPECT_TRUE(cp.multiByte);
    EXPECT_EQ(cp.IsLeadByte(static_cast<unsigned char>(c.byte)), c.lead);
  }
  for (unsigned n : {932u, 936u, 949u, 950u, 1361u}) EXPECT_TRUE(HasFixedLeadBytes(n)) << n;
  for (unsigned n : {0u, 437u, 1252u, 1200u, 65001u, 20936u}) EXPECT_FALSE(HasFixedLeadBytes(n)) << n;
}

TEST(CodePages, BothKindsFoldOnlyAsciiLettersAndSingleByteHasNoLeadBytes) {
  const CodePage* pages[] = {&Cp1252(), &Cp936()};
  for (const CodePage* cp : pages) {
    for (unsigned b = 0; b < 256; ++b) {
      SCOPED_TRACE(testing::Message() << cp->number << " byte " << b);
      const unsigned lower = b >= 'A' && b <= 'Z' ? b + 32 : b;
      EXPECT_EQ(cp->singleByteLower[b], lower);
      if (!cp->multiByte) {
        EXPECT_FALSE(cp->IsLeadByte(static_cast<unsigned char>(b)));
      }
    }
  }
  EXPECT_EQ(Cp1252().number, 1252u);
  EXPECT_FALSE(Cp1252().multiByte);
}

TEST(TextRules, CharLengthTakesALeadByteWithItsSecondByteUnlessThatIsTheEnd) {
  const struct {
    const CodePage* cp;
    const char* s;
    std::size_t length;
  } cases[] = {
      {&Cp936(), "", 0},         {&Cp936(), "a", 1},         {&Cp936(), "\x81" "A", 2},
      {&Cp936(), "\x95\x5C", 2}, {&Cp936(), "\x81", 1},      {&Cp936(), "\x81\x81", 2},
      {&Cp936(), "\x80" "A", 1}, {&Cp936(), "\xFF" "A", 1},  {&Cp1252(), "\x81" "A", 1},
      {&Cp1252(), "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(CharLength(*c.cp, c.s), c.length);
  }
}

TEST(TextRules, ReverseSearchNeverMatchesASecondByte) {
  const struct {
    const CodePage* cp;
    AnsiString s;
    std::size_t pos;
  } cases[] = {
      {&Cp936(), "C:\\App\\Update.exe", 6},  {&Cp936(), "\x95\x5C", npos},
      {&Cp1252(), "\x95\x5C", 1},            {&Cp936(), "a\\\x95\x5C", 1},
      {&Cp1252(), "a\\\x95\x5C", 3},         {&Cp936(), "\x95\x5C\\", 2},
      {&Cp936(), "\x81\x81\x5C", 2},         {&Cp936(), "\x81\x81\x81\x5C", npos},
      {&Cp936(), "a\\\x81", 1},              {&Cp936(), "abc", npos},
      {&Cp936(), "", npos},                  {&Cp936(), AnsiString("a\0\\", 3), npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(ReverseFindByte(*c.cp, c.s, '\\'), c.pos);
  }
}

TEST(TextRules, ForwardSearchStartsOnlyAtCharacterStarts) {
  const struct {
    const CodePage* cp;
    AnsiString s, what;
    std::size_t pos;
  } cases[] = {
      {&Cp936(), "a.b.c", ".", 1},
      {&Cp936(), "abc", ".", npos},
      {&Cp936(), "\xB0\xB2\xD7\xB0.EXE", ".", 4},
      {&Cp936(), "\x81.x.y", ".", 3},
      {&Cp1252(), "\x81.x.y", ".", 1},
      {&Cp936(), "\x81" "AA", "AA", npos},
      {&Cp1252(), "\x81" "AA", "AA", 1},
      {&Cp936(), "\x81\x81" "AA", "AA", 2},
      {&Cp936(), "a.dll", "dll", 2},
      {&Cp936(), "ab\x81", "\x81", 2},
      {&Cp936(), "a", "abc", npos},
      {&Cp936(), AnsiString("a\0.", 3), ".", npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s + " / " + c.what);
    EXPECT_EQ(FindString(*c.cp, c.s, c.what), c.pos);
  }
}

// Whether both names have a case key and the keys are equal.
bool SameKey(const CodePage& cp, const AnsiString& a, const AnsiString& b) {
  std::string ka, kb;
  return CaseKey(cp, a, &ka) && CaseKey(cp, b, &kb) && ka == kb;
}

TEST(TextRules, CaseInsensitiveComparison) {
  // A multi-byte code page with few lead bytes whose system lower-case
  // mapping also covers one byte beyond ASCII (0xC4 -> 0xE4).
  CodePage refined = MakeEastAsianCodePage(936, FakeUpper);
  for (unsigned b = 0xA0; b < 256; ++b) refined.leadByte[b] = false;
  refined.singleByteLower[0xC4] = 0xE4;

  const char* installer = "\xB0\xB2\xD7\xB0.EXE";  // the installer's name in code page 936
  const char* fullWidthExe = "\xA3\xE5\xA3\xF8\xA3\xE5";
  const struct {
    const CodePage* cp;
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {&Cp936(), "EXE", "exe", true},   {&Cp936(), "Exe", "exe", true},
      {&Cp936(), "exe", "exe", true},   {&Cp936(), "DlL", "dll", true},
      {&Cp936(), "exe ", "exe", false}, {&Cp936(), "ex", "exe", false},
      {&Cp936(), "", "", true},         {&Cp936(), "", "a", false},
      {&Cp936(), "exe", "dll", false},  {&Cp936(), "[", "{", false},
      {&Cp936(), "ab\x81", "ab", true}, {&Cp936(), "ab\x81", "ab\x82", true},
      {&Cp936(), "ab\x81", "abc", false},
      {&Cp936(), installer, "\xB0\xB2\xD7\xB0.exe", true},
      {&Cp936(), installer, "\xB0\xB2\xD7\xB0.eXe", true},
      {&Cp936(), installer, "\xB0\xB2\xD7\xB1.EXE", false},
      {&Cp936(), installer, "\xB0\xB2.EXE", false},
      {&Cp936(), installer, "\xB0\xB2\xD7\xB0.EXE.Old", false},
      {&Cp936(), fullWidthExe, "exe", false},
      {&Cp936(), fullWidthExe, "EXE", false},
      {&Cp936(), fullWidthExe, "\xA3\xC5\xA3\xD8\xA3\xC5", true},
      // The second byte belongs to the character: it is not folded as ASCII.
      {&Cp936(), "\x81" "A", "\x81" "a", false},
      {&Cp1252(), "\x81" "A", "\x81" "a", true},
      // A pair that is no character makes even identical names unequal.
      {&Cp936(), "a\xFE" "A", "a\xFE" "A", false},
      {&Cp936(), "\xFE" "A", "", false},
      {&Cp1252(), "EXE", "exe", true},  {&Cp1252(), "exe ", "exe", false},
      {&Cp1252(), "ab\x81", "ab", false},
      {&Cp1252(), "\xC4", "\xE4", false},
      {&Cp1252(), installer, "\xB0\xB2\xD7\xB0.exe", true},
      {&refined, "\xC4xE", "\xE4" "Xe", true},
      {&refined, "\xC4", "\xC5", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cp->number << ": " << c.a << " / " << c.b);
    EXPECT_EQ(EqualsNoCase(*c.cp, c.a, c.b), c.equal);
    EXPECT_EQ(EqualsNoCase(*c.cp, c.b, c.a), c.equal);
    EXPECT_EQ(SameKey(*c.cp, c.a, c.b), c.equal) << "the key groups names as the comparison does";
  }
}

TEST(TextRules, ActiveCodePageUpperCasesTwoByteLetters) {
  const CodePage& cp = PlatformCodePage();
  ASSERT_EQ(cp.number, 936u);
  ASSERT_TRUE(cp.multiByte);
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"\xA3\xE1", "\xA3\xC1", true},   // full-width a / A
      {"\xA6\xC1", "\xA6\xA1", true},   // Greek alpha / Alpha
      {"\xA7\xD1", "\xA7\xA1", true},   // Cyrillic a / A
      {"\xB0\xB2", "\xB0\xB2", true},   // a Chinese character equals itself
      {"\xB0\xB2", "\xB0\xB3", false},
      {"\xA3\xE1", "\xA3\xE2", false},  // full-width a / b
      {"\xA3\xE5\xA3\xF8\xA3\xE5", "exe", false},
      {"\xA3\xE5\xA3\xF8\xA3\xE5", "EXE", false},
      {"\xA3\xE5\xA3\xF8\xA3\xE5", "\xA3\xC5\xA3\xD8\xA3\xC5", true},
      {"\xB0\xB2\xD7\xB0.EXE", "\xB0\xB2\xD7\xB0.Exe", true},
      {"Core.DLL", "core.dll", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " / " << c.b);
    EXPECT_EQ(EqualsNoCase(cp, c.a, c.b), c.equal);
    EXPECT_EQ(EqualsNoCase(cp, c.b, c.a), c.equal);
    EXPECT_EQ(SameKey(cp, c.a, c.b), c.equal) << "the key groups names as the comparison does";
  }
}

TEST(TextRules, SplitPath) {
  const AnsiString pairs300 = Rep("\xB0\xB2", 150);
  const struct {
    const CodePage* cp;
    AnsiString path;
    std::size_t max;
    AnsiString drive, directory, fileName, extension;
  } cases[] = {
      {&Cp936(), "C:\\App\\Update.exe", kMaxPathComponent, "C:", "\\App\\", "Update", ".exe"},
      {&Cp936(), "C:", kMaxPathComponent, "C:", "", "", ""},
      {&Cp936(), "1:x", kMaxPathComponent, "1:", "", "x", ""},
      {&Cp936(), "\x81:x", kMaxPathComponent, "\x81:", "", "x", ""},
      {&Cp936(), "ab:c", kMaxPathComponent, "", "", "ab:c", ""},
      {&Cp936(), "C", kMaxPathComponent, "", "", "C", ""},
      {&Cp936(), "", kMaxPathComponent, "", "", "", ""},
      {&Cp936(), "dir/sub/file.txt", kMaxPathComponent, "", "dir/sub/", "file", ".txt"},
      {&Cp936(), "a\\b/c", kMaxPathComponent, "", "a\\b/", "c", ""},
      {&Cp936(), "C:\\My.Dir\\file", kMaxPathComponent, "C:", "\\My.Dir\\", "file", ""},
      {&Cp936(), "C:\\App\\My.Tool.exe", kMaxPathComponent, "C:", "\\App\\", "My.Tool", ".exe"},
      {&Cp936(), "C:\\App\\.hidden", kMaxPathComponent, "C:", "\\App\\", "", ".hidden"},
      {&Cp936(), "C:\\App\\", kMaxPathComponent, "C:", "\\App\\", "", ""},
      {&Cp936(), "file.", kMaxPathComponent, "", "", "file", "."},
      {&Cp936(), "\\\\server\\share\\app\\x.exe", kMaxPathComponent, "",
       "\\\\server\\share\\app\\", "x", ".exe"},
      {&Cp936(), "C:\\\xB0\xB2\xD7\xB0\\\xB0\xB2\xD7\xB0.EXE", kMaxPathComponent, "C:",
       "\\\xB0\xB2\xD7\xB0\\", "\xB0\xB2\xD7\xB0", ".EXE"},
      {&Cp936(), "C:\\d\\\x95\x5C.exe", kMaxPathComponent, "C:", "\\d\\", "\x95\x5C", ".exe"},
      {&Cp1252(), "C:\\d\\\x95\x5C.exe", kMaxPathComponent, "C:", "\\d\\\x95\\", "", ".exe"},
      {&Cp936(), "a\\\x81", kMaxPathComponent, "", "a\\", "\x81", ""},
      {&Cp936(), "\x81.b", kMaxPathComponent, "", "", "\x81.b", ""},
      {&Cp1252(), "\x81.b", kMaxPathComponent, "", "", "\x81", ".b"},
      // Components longer than the limit are cut, never inside a character.
      {&Cp936(), Rep("a", 300), kMaxPathComponent, "", "", Rep("a", 255), ""},
      {&Cp936(), Rep("d", 300) + "\\x", kMaxPathComponent, "", Rep("d", 255), "x", ""},
      {&Cp936(), pairs300, kMaxPathComponent, "", "", pairs300.substr(0, 254), ""},
      {&Cp1252(), pairs300, kMaxPathComponent, "", "", pairs300.substr(0, 255), ""},
      {&Cp936(), "x." + pairs300, kMaxPathComponent, "", "", "x", "." + pairs300.substr(0, 254)},
      {&Cp936(), "C:\\abcdef\\ghijk.lmnop", 3, "C:", "\\ab", "ghi", ".lm"},
      {&Cp936(), "\xB0\xB2\xD7\xB0.EXE", 3, "", "", "\xB0\xB2", ".EX"},
      {&Cp936(), Rep("a", 300) + ".e", npos, "", "", Rep("a", 300), ".e"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.size() > 40 ? c.path.substr(0, 40) + "..." : c.path);
    const PathParts parts = SplitPath(*c.cp, c.path, c.max);
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.fileName, c.fileName);
    EXPECT_EQ(parts.extension, c.extension);
  }
  // The limit is the default.
  EXPECT_EQ(SplitPath(Cp936(), Rep("a", 300)).fileName, Rep("a", 255));
}

}  // namespace
