// SplitCommandLine on arbitrary text. The first input byte picks the code
// page; the rest is split at NUL bytes into pieces: the first piece is the
// command line, the second the program's own path, and all of them are also
// quoted into a command line of their own that must split back into them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/command_line.h"

namespace {

using Args = std::vector<AnsiString>;
using fuzz::Char;

bool IsSeparator(const std::string& s, const Char& c) {
  return fuzz::IsByte(s, c, ' ') || fuzz::IsByte(s, c, '\t');
}

bool HasQuote(const CodePage& cp, const std::string& s) {
  for (const Char& c : fuzz::Characters(cp, s))
    if (fuzz::IsByte(s, c, '"')) return true;
  return false;
}

std::string WithoutQuotes(const CodePage& cp, const std::string& s) {
  std::string out;
  for (const Char& c : fuzz::Characters(cp, s))
    if (!fuzz::IsByte(s, c, '"')) out.append(s, c.pos, c.len);
  return out;
}

// The runs of characters between spaces and tabs, empty runs included, so
// fields[0] is whatever precedes the first separator.
std::vector<std::string> Fields(const CodePage& cp, const std::string& s) {
  std::vector<std::string> fields(1);
  for (const Char& c : fuzz::Characters(cp, s)) {
    if (IsSeparator(s, c))
      fields.emplace_back();
    else
      fields.back().append(s, c.pos, c.len);
  }
  return fields;
}

bool IsSubsequence(const std::string& part, const std::string& whole) {
  std::size_t i = 0;
  for (char c : whole)
    if (i < part.size() && part[i] == c) ++i;
  return i == part.size();
}

// How a quote inside a quoted argument is written: escaped with a
// backslash, or as three quotes (two give a literal quote and end the
// quoted part, the third opens it again).
enum class QuoteStyle { kBackslash, kTripled };

// `arg` in double quotes, written so the backslash-and-quote rules give it
// back unchanged; the backslashes before a quote mark or before the closing
// quote are doubled. `arg` must not end in a lone lead byte, which would
// swallow the closing quote.
std::string Quote(const CodePage& cp, const std::string& arg, QuoteStyle style) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (const Char& c : fuzz::Characters(cp, arg)) {
    if (fuzz::IsByte(arg, c, '\\')) {
      ++slashes;
      continue;
    }
    if (fuzz::IsByte(arg, c, '"')) {
      if (style == QuoteStyle::kBackslash)
        out.append(2 * slashes + 1, '\\').append("\"");
      else
        out.append(2 * slashes, '\\').append("\"\"\"");
    } else {
      out.append(slashes, '\\').append(arg, c.pos, c.len);
    }
    slashes = 0;
  }
  out.append(2 * slashes, '\\');
  out.push_back('"');
  return out;
}

Args Split(const CodePage& cp, const char* commandLine, const char* ownPath) {
  return SplitCommandLine(cp, commandLine, ownPath);
}

void CheckSplit(const CodePage& cp, const std::string& text, const Args& argv) {
  FUZZ_CHECK(!argv.empty());
  if (text.empty()) FUZZ_CHECK(argv == Args{""});

  // Bytes are only dropped (quotes, halved backslash runs, separators),
  // never invented or reordered.
  std::string all;
  for (const AnsiString& arg : argv) all += arg;
  FUZZ_CHECK(IsSubsequence(all, text));

  // The program name keeps every byte but the quotes, from the first one on.
  const std::string unquoted = WithoutQuotes(cp, text);
  FUZZ_CHECK(unquoted.compare(0, argv[0].size(), argv[0]) == 0);
  if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) FUZZ_CHECK(argv[0].empty());

  // Every argument after the program name begins right after a separator,
  // so quoting can join fields but never make more arguments than there are.
  const std::vector<std::string> fields = Fields(cp, text);
  std::size_t words = 0;
  for (std::size_t i = 1; i < fields.size(); ++i) words += fields[i].empty() ? 0 : 1;
  FUZZ_CHECK(argv.size() - 1 <= words);

  // Without quotes, backslashes are plain too and the text splits exactly at
  // its separators; a second byte 0x22 is no quote and 0x20 or 0x09 no
  // separator.
  if (!HasQuote(cp, text)) {
    Args expected{fields[0]};
    for (std::size_t i = 1; i < fields.size(); ++i)
      if (!fields[i].empty()) expected.push_back(fields[i]);
    FUZZ_CHECK(argv == expected);
  }

  // Lead bytes are all 0x81 or above, so ASCII text splits alike everywhere.
  if (fuzz::IsAscii(text))
    for (int i = 0; i < fuzz::kCodePageCount; ++i)
      FUZZ_CHECK(Split(fuzz::CodePageFor(i), fuzz::ExactCopy(text).get(), nullptr) == argv);
}

// A missing or empty command line splits the own path instead; a given one
// ignores it.
void CheckOwnPath(const CodePage& cp, const std::string& text, const char* ownPath,
                  const Args& argv) {
  const fuzz::ExactCopy line(text);
  const Args withPath = Split(cp, line.get(), ownPath);
  if (!text.empty()) {
    FUZZ_CHECK(withPath == argv);
    return;
  }
  const Args ofPath = ownPath != nullptr && *ownPath != '\0' ? Split(cp, ownPath, nullptr) : Args{""};
  FUZZ_CHECK(withPath == ofPath);
  FUZZ_CHECK(Split(cp, nullptr, ownPath) == ofPath);
  FUZZ_CHECK(Split(cp, "", ownPath) == ofPath);
}

// Every piece, quoted, comes back as one argument, and a quoted program name
// without quotes of its own comes back as argv[0] (its backslashes plain).
void CheckRoundTrip(const CodePage& cp, const std::vector<std::string>& pieces, QuoteStyle style) {
  const std::string name = fuzz::WithoutLoneLead(cp, WithoutQuotes(cp, pieces[0]));
  std::string line = "\"" + name + "\"";
  Args expected{name};
  for (const std::string& piece : pieces) {
    expected.push_back(fuzz::WithoutLoneLead(cp, piece));
    line += " " + Quote(cp, expected.back(), style);
  }
  FUZZ_CHECK(Split(cp, fuzz::ExactCopy(line).get(), nullptr) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const CodePage& cp = fuzz::CodePageFor(data[0]);
  const std::vector<std::string> pieces = fuzz::SplitAtNul(fuzz::FromInput(data + 1, size - 1));
  const std::string& text = pieces[0];

  const Args argv = Split(cp, fuzz::ExactCopy(text).get(), nullptr);
  CheckSplit(cp, text, argv);

  if (pieces.size() > 1)
    CheckOwnPath(cp, text, fuzz::ExactCopy(pieces[1]).get(), argv);
  else
    CheckOwnPath(cp, text, nullptr, argv);

  CheckRoundTrip(cp, pieces, QuoteStyle::kBackslash);
  CheckRoundTrip(cp, pieces, QuoteStyle::kTripled);
  return 0;
}
