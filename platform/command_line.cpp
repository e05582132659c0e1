#include "platform/command_line.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// Copies the character at p (one byte, or a lead byte with its second byte)
// and returns the position after it. A lead byte at the very end is copied
// alone, so the text is never read past its NUL.
const char* CopyChar(const CodePage& cp, const char* p, AnsiString* out) {
  const std::size_t n = CharLength(cp, p);
  out->append(p, n);
  return p + n;
}

}  // namespace

std::vector<AnsiString> SplitCommandLine(const CodePage& cp, const char* commandLine,
                                         const char* ownPath) {
  const char* p = (commandLine != nullptr && *commandLine != '\0') ? commandLine : ownPath;
  if (p == nullptr) p = "";
  std::vector<AnsiString> argv;

  // Program name: quotes toggle and are dropped; backslashes are plain.
  AnsiString name;
  for (bool quoted = false; *p != '\0';) {
    if (*p == '"') {
      quoted = !quoted;
      ++p;
    } else if (!quoted && IsSeparator(*p)) {
      break;
    } else {
      p = CopyChar(cp, p, &name);
    }
  }
  argv.push_back(name);

  for (;;) {
    while (IsSeparator(*p)) ++p;
    if (*p == '\0') break;

    AnsiString arg;
    bool quoted = false;
    for (;;) {
      std::size_t slashes = 0;
      while (*p == '\\') ++p, ++slashes;

      if (*p == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg.push_back('"');  // an escaped quote is literal
        } else if (!quoted) {
          quoted = true;
        } else if (p[1] == '"') {
          // Two quotes inside a quoted part: one literal quote, and the
          // quoted part ends.
          arg.push_back('"');
          ++p;
          quoted = false;
        } else {
          quoted = false;
        }
        ++p;
        continue;
      }

      arg.append(slashes, '\\');
      if (*p == '\0') break;
      if (!quoted && IsSeparator(*p)) {
        ++p;
        break;
      }
      p = CopyChar(cp, p, &arg);
    }
    argv.push_back(arg);
  }
  return argv;
}
