// SplitPath on arbitrary bytes. The first input byte picks the code page
// (low two bits) and a small component limit (next four bits), so cutting
// is exercised on short inputs as well as at the usual 255 bytes; the rest
// is the path, NUL bytes and all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Char;

bool IsSeparator(const std::string& s, const Char& c) {
  return fuzz::IsByte(s, c, '\\') || fuzz::IsByte(s, c, '/');
}

// The components of the uncut split, checked against the characters of the
// path after the drive, where the scan for separators and dots runs.
void CheckUncut(const CodePage& cp, const std::string& path, const PathParts& parts) {
  FUZZ_CHECK(parts.drive + parts.directory + parts.fileName + parts.extension == path);

  // The drive is any first byte with a colon after it.
  if (path.size() >= 2 && path[1] == ':')
    FUZZ_CHECK(parts.drive == path.substr(0, 2));
  else
    FUZZ_CHECK(parts.drive.empty());

  const std::string rest = path.substr(parts.drive.size());
  const std::vector<Char> chars = fuzz::Characters(cp, rest);
  const std::size_t nameStart = parts.directory.size();
  const std::size_t dotAt = nameStart + parts.fileName.size();
  FUZZ_CHECK(fuzz::IsBoundary(chars, rest.size(), nameStart));
  FUZZ_CHECK(fuzz::IsBoundary(chars, rest.size(), dotAt));

  bool dotInName = false;
  for (const Char& c : chars) {
    // The directory ends with its last separator ...
    if (c.pos + c.len == nameStart) FUZZ_CHECK(IsSeparator(rest, c));
    // ... so the file name and extension hold none.
    if (c.pos >= nameStart) FUZZ_CHECK(!IsSeparator(rest, c));
    // The extension starts at the last dot of the file name.
    if (c.pos == dotAt && c.pos < rest.size()) FUZZ_CHECK(fuzz::IsByte(rest, c, '.'));
    if (c.pos > dotAt) FUZZ_CHECK(!fuzz::IsByte(rest, c, '.'));
    if (c.pos >= nameStart && fuzz::IsByte(rest, c, '.')) dotInName = true;
  }
  FUZZ_CHECK(parts.extension.empty() == !dotInName);
}

// The longest prefix of `whole` of at most `limit` bytes that ends where a
// character ends, given the characters of `whole`.
std::size_t CutLength(const std::vector<Char>& chars, std::size_t limit) {
  std::size_t keep = 0;
  for (const Char& c : chars) {
    if (c.pos + c.len > limit) break;
    keep = c.pos + c.len;
  }
  return keep;
}

// A cut component is the uncut one shortened to at most `limit` bytes
// without splitting a character.
void CheckCut(const CodePage& cp, const std::string& path, const std::string& uncut,
              std::size_t offset, const std::string& cut, std::size_t limit) {
  FUZZ_CHECK(cut.size() <= limit);
  FUZZ_CHECK(uncut.compare(0, cut.size(), cut) == 0);
  // The characters of the component as the scan from the path's start sees
  // them; a component's last character never reaches into the next one.
  std::vector<Char> chars;
  for (const Char& c : fuzz::Characters(cp, path))
    if (c.pos >= offset && c.pos < offset + uncut.size())
      chars.push_back({c.pos - offset, c.len});
  FUZZ_CHECK(cut.size() == CutLength(chars, limit));
}

void CheckCutParts(const CodePage& cp, const std::string& path, const PathParts& whole,
                   const PathParts& cut, std::size_t limit) {
  FUZZ_CHECK(cut.drive == whole.drive);
  std::size_t offset = whole.drive.size();
  CheckCut(cp, path, whole.directory, offset, cut.directory, limit);
  offset += whole.directory.size();
  CheckCut(cp, path, whole.fileName, offset, cut.fileName, limit);
  offset += whole.fileName.size();
  CheckCut(cp, path, whole.extension, offset, cut.extension, limit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const CodePage& cp = fuzz::CodePageFor(data[0]);
  const std::size_t smallLimit = 1 + ((data[0] >> 2) & 15);
  const std::string input = fuzz::FromInput(data + 1, size - 1);
  const std::string path = fuzz::UpToNul(input);

  const PathParts whole = SplitPath(cp, input, AnsiString::npos);
  CheckUncut(cp, path, whole);
  CheckCutParts(cp, path, whole, SplitPath(cp, input), kMaxPathComponent);
  CheckCutParts(cp, path, whole, SplitPath(cp, input, smallLimit), smallLimit);
  return 0;
}
