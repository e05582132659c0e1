// Splitting a command-line text into argv: the program-name rule for argv[0],
// the backslash-and-quote rules for the other arguments, and two-byte
// characters of code page 936 whose second byte looks like a quote, a
// backslash or a separator.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "platform/command_line.h"

namespace {

using Args = std::vector<AnsiString>;

bool SameUpper(unsigned char lead, unsigned char trail, unsigned* mapped) {
  *mapped = (static_cast<unsigned>(lead) << 8) | trail;
  return true;
}

const CodePage& Cp936() {
  static const CodePage cp = MakeEastAsianCodePage(936, SameUpper);
  return cp;
}
const CodePage& Cp1252() {
  static const CodePage cp = MakeSingleByteCodePage(1252);
  return cp;
}

struct Case {
  const char* line;
  Args argv;
};

void Check(const CodePage& cp, const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(testing::Message() << "row " << i << ": [" << cases[i].line << "]");
    EXPECT_EQ(SplitCommandLine(cp, cases[i].line, "C:\\Own\\u.exe"), cases[i].argv);
  }
}

TEST(SplitCommandLine, ArgumentsFollowTheBackslashAndQuoteRules) {
  const Case cases[] = {
      {"u.exe a b", {"u.exe", "a", "b"}},
      {"u.exe   a\t\tb  \t", {"u.exe", "a", "b"}},
      {"u.exe\ta", {"u.exe", "a"}},
      {"u.exe a\r\nb c\rd", {"u.exe", "a\r\nb", "c\rd"}},
      {"u.exe \"a b\" c", {"u.exe", "a b", "c"}},
      {"u.exe a\"b c\"d e", {"u.exe", "ab cd", "e"}},
      {"u.exe \"\"", {"u.exe", ""}},
      {"u.exe \"\" \"\" x", {"u.exe", "", "", "x"}},
      // Two quotes inside a quoted part give one quote and end the part.
      {"u.exe \"a\"\" b", {"u.exe", "a\"", "b"}},
      {"u.exe \"a\"\"b\"", {"u.exe", "a\"b"}},
      {"u.exe \"a\"\"\"b c\"", {"u.exe", "a\"b c"}},
      // Outside a quoted part two quotes open and close an empty part.
      {"u.exe a\"\"b c", {"u.exe", "ab", "c"}},
      // An even run of backslashes before a quote halves, and the quote acts.
      {"u.exe a\\\\\"b c\"", {"u.exe", "a\\b c"}},
      {"u.exe a\\\\\\\\\"b\" c", {"u.exe", "a\\\\b", "c"}},
      // An odd run halves and leaves a literal quote.
      {"u.exe a\\\\\\\"b c", {"u.exe", "a\\\"b", "c"}},
      {"u.exe \\\"a", {"u.exe", "\"a"}},
      {"u.exe \"a\\\" b\"", {"u.exe", "a\" b"}},
      // Backslashes before anything else are copied as they are.
      {"u.exe a\\b\\\\c\\", {"u.exe", "a\\b\\\\c\\"}},
      {"u.exe a\\\\ b", {"u.exe", "a\\\\", "b"}},
      {"u.exe \\\\server\\share", {"u.exe", "\\\\server\\share"}},
      // An open quoted part runs to the end.
      {"u.exe \"a b", {"u.exe", "a b"}},
      {"u.exe \"a\\", {"u.exe", "a\\"}},
      // Both ways of quoting a host name with a space give one argument.
      {"u.exe \"/My App.exe\"", {"u.exe", "/My App.exe"}},
      {"u.exe /\"My App.exe\"", {"u.exe", "/My App.exe"}},
      {"u.exe /\"My App.exe\" x", {"u.exe", "/My App.exe", "x"}},
  };
  Check(Cp1252(), cases, std::size(cases));
  Check(Cp936(), cases, std::size(cases));
}

TEST(SplitCommandLine, ProgramNameOnlyTogglesQuotes) {
  const Case cases[] = {
      {"\"C:\\My App\\u.exe\" x", {"C:\\My App\\u.exe", "x"}},
      {"C:\\My\" \"App\\u.exe x", {"C:\\My App\\u.exe", "x"}},
      {"a\\\"b c\" x", {"a\\b c", "x"}},
      {"a\\\\\"b c\"", {"a\\\\b c"}},
      {"\"a\"\"b c\" d", {"ab c", "d"}},
      {"\"a b", {"a b"}},
      {"u.exe", {"u.exe"}},
      {"u.exe\r\nx", {"u.exe\r\nx"}},
      {"\"\" x", {"", "x"}},
      {" a b", {"", "a", "b"}},
      {"\ta", {"", "a"}},
      {"   ", {""}},
  };
  Check(Cp1252(), cases, std::size(cases));
  Check(Cp936(), cases, std::size(cases));
}

TEST(SplitCommandLine, EmptyOrMissingTextSplitsTheOwnPath) {
  const struct {
    const char* line;
    const char* ownPath;
    Args argv;
  } cases[] = {
      {"", "C:\\App\\u.exe", {"C:\\App\\u.exe"}},
      {nullptr, "C:\\App\\u.exe", {"C:\\App\\u.exe"}},
      {nullptr, "C:\\My App\\u.exe", {"C:\\My", "App\\u.exe"}},
      {"", "", {""}},
      {nullptr, nullptr, {""}},
      {"x", "C:\\App\\u.exe", {"x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.line ? c.line : "(null)") << " / "
                                    << (c.ownPath ? c.ownPath : "(null)"));
    EXPECT_EQ(SplitCommandLine(Cp936(), c.line, c.ownPath), c.argv);
  }
}

TEST(SplitCommandLine, SecondByteOfATwoByteCharacterIsNeverSpecial) {
  const struct {
    const char* line;
    Args cp936, cp1252;
  } cases[] = {
      {"u.exe \x81\" x", {"u.exe", "\x81\"", "x"}, {"u.exe", "\x81 x"}},
      {"u.exe \x81 x", {"u.exe", "\x81 x"}, {"u.exe", "\x81", "x"}},
      {"u.exe \x81\tx", {"u.exe", "\x81\tx"}, {"u.exe", "\x81", "x"}},
      {"u.exe \x81\\\" x", {"u.exe", "\x81\\ x"}, {"u.exe", "\x81\"", "x"}},
      // The backslash inside a character does not count towards the run.
      {"u.exe \x95\\\\\" x", {"u.exe", "\x95\\\"", "x"}, {"u.exe", "\x95\\ x"}},
      {"u.exe \"\x81\" x\"", {"u.exe", "\x81\" x"}, {"u.exe", "\x81", "x"}},
      {"u.exe \xB0\xB2\xD7\xB0.EXE", {"u.exe", "\xB0\xB2\xD7\xB0.EXE"},
       {"u.exe", "\xB0\xB2\xD7\xB0.EXE"}},
      // argv[0]
      {"\x81\"a b", {"\x81\"a", "b"}, {"\x81" "a b"}},
      {"\x81 a", {"\x81 a"}, {"\x81", "a"}},
      {"\"\x81\" a\" b", {"\x81\" a", "b"}, {"\x81", "a b"}},
      // A lead byte that is the very last byte is copied alone and ends the
      // text; nothing after the terminating NUL is read.
      {"u.exe a\x81", {"u.exe", "a\x81"}, {"u.exe", "a\x81"}},
      {"u.exe a\x81\0\" x y", {"u.exe", "a\x81"}, {"u.exe", "a\x81"}},
      {"u\x81\0 x", {"u\x81"}, {"u\x81"}},
      {"\"u\x81\0\" x", {"u\x81"}, {"u\x81"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitCommandLine(Cp936(), c.line, "own"), c.cp936);
    EXPECT_EQ(SplitCommandLine(Cp1252(), c.line, "own"), c.cp1252);
  }
}

}  // namespace
