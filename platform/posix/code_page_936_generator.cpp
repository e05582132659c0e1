// Writes the tables of code_page_936.h as C++ source from the C library's
// CP936 converter and its C.UTF-8 case rules (also those of every script). Its output is committed
// (code_page_936_tables.cpp), so every build machine compiles the same
// tables; the tests run it again and compare.
//
// Usage: code_page_936_generator OUTPUT.cpp
//        code_page_936_generator --check COMMITTED.cpp
//
// Fails (exit code 1, a line on standard error, no output) when the machine
// lacks the converter or the locale, or when the code page breaks a promise
// of code_page_936.h, which the program's own conversion relies on. With
// --check it writes nothing, and fails when the file differs from what it
// would write.
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/code_page_936.h"

namespace {

using posix::cp936::kFirstLead;
using posix::cp936::kFirstTrail;
using posix::cp936::kLastLead;
using posix::cp936::kLastTrail;

int Fail(const std::string& why) {
  std::fprintf(stderr, "code_page_936_generator: %s\n", why.c_str());
  return 1;
}

// The one code point `bytes` decode to; 0 when they are not exactly one
// character.
unsigned Decode(iconv_t cd, const std::string& bytes) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  unsigned char out[8];
  char* dst = reinterpret_cast<char*>(out);
  std::size_t dstLeft = sizeof out;
  if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != 0 || inLeft != 0 || dstLeft != sizeof out - 4) return 0;
  return out[0] | out[1] << 8 | out[2] << 16 | static_cast<unsigned>(out[3]) << 24;
}

void WriteArray(std::ostream& out, const char* declaration, const std::vector<unsigned>& values) {
  out << declaration << " = {";
  for (std::size_t i = 0; i < values.size(); ++i) out << (i % 16 == 0 ? "\n    " : " ") << values[i] << ',';
  out << "\n};\n";
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::string(argv[1]) == "--check";
  if (argc != 2 && !check) return Fail("usage: code_page_936_generator [--check] OUTPUT.cpp");
  const char* const path = argv[argc - 1];
  const iconv_t cd = iconv_open("UCS-4LE", "CP936");
  if (cd == reinterpret_cast<iconv_t>(-1)) return Fail("the C library has no CP936 converter");
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 == static_cast<locale_t>(0)) {
    iconv_close(cd);
    return Fail("the C.UTF-8 locale is missing");
  }

  std::vector<unsigned> highByte(0x80, 0), doubleByte;
  std::map<unsigned, unsigned> bytesOf;     // code point -> its bytes, as in CasePair
  std::map<unsigned, unsigned> positionOf;  // code point -> its position, as in kByCodePoint
  std::string problem;
  auto add = [&](unsigned bytes, unsigned position, unsigned codePoint) {
    if (codePoint < 0x80 || codePoint > 0xFFFF) problem = "a character outside 0x80-0xFFFF";
    if (!bytesOf.emplace(codePoint, bytes).second) problem = "a code point with two byte forms";
    positionOf.emplace(codePoint, position);
  };
  for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
    for (unsigned trail = 0; trail <= 0xFF; ++trail) {
      const unsigned codePoint = Decode(cd, {static_cast<char>(lead), static_cast<char>(trail)});
      if (trail >= kFirstTrail && trail <= kLastTrail)
        doubleByte.push_back(codePoint);
      else if (codePoint != 0)
        problem = "a second byte outside the table";
      if (codePoint != 0) add(lead << 8 | trail, static_cast<unsigned>(doubleByte.size() - 1), codePoint);
    }
  }
  for (unsigned b = 0x80; b <= 0xFF; ++b) {
    if (b >= kFirstLead && b <= kLastLead) continue;
    const unsigned codePoint = Decode(cd, std::string(1, static_cast<char>(b)));
    if (codePoint != 0) add(b, static_cast<unsigned>(doubleByte.size()) + b - 0x80, highByte[b - 0x80] = codePoint);
  }
  iconv_close(cd);

  std::vector<unsigned> upperCase;  // from, to, from, to, ...
  for (const auto& [codePoint, bytes] : bytesOf) {
    if (bytes <= 0xFF) continue;  // single bytes fold by their own rule
    const auto upper = bytesOf.find(static_cast<unsigned>(towupper_l(static_cast<wint_t>(codePoint), utf8)));
    if (upper != bytesOf.end() && upper->first != codePoint) {
      upperCase.push_back(bytes);
      upperCase.push_back(upper->second);
    }
  }
  std::vector<std::pair<unsigned, unsigned>> unicodeUpper;
  for (unsigned codePoint = 0x80; codePoint <= 0x10FFFF; ++codePoint) {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) continue;
    const auto upper = static_cast<unsigned>(towupper_l(static_cast<wint_t>(codePoint), utf8));
    if (upper != codePoint) unicodeUpper.emplace_back(codePoint, upper);
  }
  freelocale(utf8);
  if (!problem.empty()) return Fail("CP936 has " + problem);
  if (unicodeUpper.size() < 1000) return Fail("the C.UTF-8 locale knows too few upper-case letters");
  if (bytesOf.size() < 20000) return Fail("the CP936 converter knows too few characters");

  // Sorted by `from`: the map is ordered by code point, the table by bytes.
  std::vector<std::pair<unsigned, unsigned>> pairs;
  for (std::size_t i = 0; i < upperCase.size(); i += 2) pairs.emplace_back(upperCase[i], upperCase[i + 1]);
  std::sort(pairs.begin(), pairs.end());
  upperCase.clear();
  for (const auto& p : pairs) {
    upperCase.push_back(p.first);
    upperCase.push_back(p.second);
  }

  std::ostringstream text;
  text << "// Generated by code_page_936_generator; see code_page_936.h.\n"
          "#include \"platform/posix/code_page_936.h\"\n\n"
          "namespace posix {\nnamespace cp936 {\n\n";
  WriteArray(text, "const std::uint16_t kHighByte[0x80]", highByte);
  WriteArray(text, "const std::uint16_t kDoubleByte[kLeads * kTrails]", doubleByte);
  std::vector<unsigned> byCodePoint;
  for (const auto& entry : positionOf) byCodePoint.push_back(entry.second);
  WriteArray(text, "const std::uint16_t kByCodePoint[]", byCodePoint);
  text << "const std::size_t kCharacterCount = " << byCodePoint.size() << ";\n";
  text << "const CasePair kUpperCase[] = {";
  for (std::size_t i = 0; i < upperCase.size(); i += 2)
    text << (i % 16 == 0 ? "\n    " : " ") << '{' << upperCase[i] << ", " << upperCase[i + 1] << "},";
  text << "\n};\nconst std::size_t kUpperCaseCount = " << pairs.size() << ";\n\n}  // namespace cp936\n\n";
  text << "const UpperPair kUnicodeUpper[] = {";
  for (std::size_t i = 0; i < unicodeUpper.size(); ++i)
    text << (i % 8 == 0 ? "\n    " : " ") << '{' << unicodeUpper[i].first << ", " << unicodeUpper[i].second << "},";
  text << "\n};\nconst std::size_t kUnicodeUpperCount = " << unicodeUpper.size() << ";\n\n}  // namespace posix\n";

  if (check) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream committed;
    committed << in.rdbuf();
    if (!in || committed.str() != text.str())
      return Fail(std::string(path) + " differs from the tables this machine's C library gives");
    return 0;
  }
  std::ofstream out(path, std::ios::binary);
  if (!(out << text.str()) || !out.flush()) return Fail(std::string("cannot write ") + path);
  return 0;
}
