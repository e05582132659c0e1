// The Windows platform's own parts: the code page as the system reports it,
// the shell's path helpers, the durable copy and the process-wide settings.
// The operations every platform shares are covered by the contract tests.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/own_path.h"
#include "platform/win32/win32_services.h"
#include "res/texts.h"
#include "tests/contract_env.h"

namespace {

unsigned Upper(const CodePage& cp, unsigned char lead, unsigned char trail) {
  unsigned mapped = 0;
  return cp.doubleByteUpper(lead, trail, &mapped) ? mapped : 0xFFFFFFFFu;
}

TEST(Win32CodePage, IsTheSystemAnsiCodePage) {
  const CodePage& cp = ProcessCodePage();
  EXPECT_EQ(cp.number, GetACP());
  for (unsigned b = 0; b < 256; ++b)
    EXPECT_EQ(cp.IsLeadByte(static_cast<unsigned char>(b)), IsDBCSLeadByte(static_cast<BYTE>(b)) != 0)
        << "byte " << b;
}

class Win32CodePage936 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetACP() != 936) GTEST_SKIP() << "needs code page 936 as the ANSI code page";
  }
  const CodePage& cp = ProcessCodePage();
};

TEST_F(Win32CodePage936, HasFixedLeadBytesAndSystemCaseRules) {
  EXPECT_TRUE(cp.multiByte);
  EXPECT_FALSE(cp.IsLeadByte(0x80));
  EXPECT_TRUE(cp.IsLeadByte(0x81));
  EXPECT_TRUE(cp.IsLeadByte(0xFE));
  EXPECT_FALSE(cp.IsLeadByte(0xFF));
  for (unsigned char c = 'A'; c <= 'Z'; ++c) EXPECT_EQ(cp.singleByteLower[c], c + 32) << c;
  for (unsigned char c : {'a', 'z', '.', '@', '[', '\\', '0'}) EXPECT_EQ(cp.singleByteLower[c], c) << c;
}

TEST_F(Win32CodePage936, TwoByteCharactersAreUpperCasedAsOneUnit) {
  EXPECT_EQ(Upper(cp, 0xA3, 0xE5), 0xA3C5u);  // full-width e -> E
  EXPECT_EQ(Upper(cp, 0xA3, 0xC5), 0xA3C5u);  // already upper case
  EXPECT_EQ(Upper(cp, 0xA6, 0xC1), 0xA6A1u);  // Greek alpha -> Alpha
  EXPECT_EQ(Upper(cp, 0xB0, 0xB2), 0xB0B2u);  // a Chinese character has no case
  EXPECT_EQ(Upper(cp, 0x95, 0x5C), 0x955Cu);  // second byte 0x5C
  EXPECT_EQ(Upper(cp, 0x81, 0x7F), 0xFFFFFFFFu) << "0x7F is no second byte in code page 936";
}

TEST_F(Win32CodePage936, NamesCompareAsTheUpdateNeeds) {
  const AnsiString installer = "\xB0\xB2\xD7\xB0.EXE";
  EXPECT_TRUE(EqualsNoCase(cp, "\xB0\xB2\xD7\xB0.exe", installer));
  EXPECT_TRUE(EqualsNoCase(cp, "ExE", "exe"));
  EXPECT_FALSE(EqualsNoCase(cp, "exe ", "exe"));
  const AnsiString fullWidthLower = "\xA3\xE5\xA3\xF8\xA3\xE5", fullWidthUpper = "\xA3\xC5\xA3\xD8\xA3\xC5";
  EXPECT_TRUE(EqualsNoCase(cp, fullWidthLower, fullWidthUpper));
  EXPECT_FALSE(EqualsNoCase(cp, fullWidthLower, "exe"));
  EXPECT_FALSE(EqualsNoCase(cp, fullWidthUpper, "EXE"));
}

// The shell's own path helpers, which the framework uses on Windows for the
// display name, agree with the portable rule the updater uses.
AnsiString ShellDisplayName(const char* path) {
  const char* name = PathFindFileNameA(path);
  return AnsiString(name, static_cast<std::size_t>(PathFindExtensionA(name) - name));
}

TEST(Win32Services, DisplayNameAgreesWithThePortableRule) {
  // The portable rule in the code page the services give.
  win32::Win32Services os;
  const CodePage& cp = os.ActiveCodePage();
  const char* const paths[] = {
      "C:\\App\\Update.exe", "C:\\App\\My.Tool.exe", "C:\\App\\NoExtension", "C:\\a.b\\c",
      "C:\\App\\x. y", "\\\\server\\share\\Up.exe", "Update.exe", "C:Update.exe",
      "C:\\App\\.exe"};
  for (const char* path : paths) EXPECT_EQ(ShellDisplayName(path), DisplayNameFromPath(cp, path)) << path;
  EXPECT_EQ(ShellDisplayName("C:\\App\\Update.exe"), "Update");
  EXPECT_EQ(ShellDisplayName("C:\\App\\My.Tool.exe"), "My.Tool");
  if (GetACP() == 936) {
    // A folder whose last character ends in 0x5C, and a name that does.
    EXPECT_EQ(ShellDisplayName("C:\\\x95\x5C\\\xB0\xB2\x95\x5C.exe"), "\xB0\xB2\x95\x5C");
    EXPECT_EQ(DisplayNameFromPath(cp, "C:\\\x95\x5C\\\xB0\xB2\x95\x5C.exe"), "\xB0\xB2\x95\x5C");
  }
}

TEST(Win32Services, ModulePathIsTheRunningExecutable) {
  win32::Win32Services os;
  const AnsiString path = os.ModulePath();
  char expected[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, expected, MAX_PATH);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(path, AnsiString(expected, n));
  EXPECT_EQ(path.substr(1, 2), ":\\");
}

TEST(Win32Services, AMissingFolderIsReportedWithTheSystemsCode) {
  win32::Win32Services os;
  auto env = MakeRealEnv();
  std::unique_ptr<DirectoryListing> listing;
  const OpResult missing = os.OpenSearch(env->Root() + "Missing\\*.*", &listing);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(listing, nullptr);
  EXPECT_EQ(missing.error, static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));

  // An existing folder where nothing matches is a search with no entries.
  env->MakeFolder("Empty");
  const OpResult empty = os.OpenSearch(env->Root() + "Empty\\*.exe", &listing);
  ASSERT_TRUE(empty.ok) << "error " << empty.error;
  ASSERT_NE(listing, nullptr);
  FindEntry entry;
  EXPECT_FALSE(listing->Next(&entry));
}

TEST(Win32Services, ALockFileThatCannotServeIsWaitedOutNotIgnored) {
  // A folder at the lock's name is one nobody can open: busy, like one
  // another updater holds, never a folder without a lock. A read-only lock
  // file is the updater's own to mend: the lock is taken.
  for (const bool folder : {false, true}) {
    auto env = MakeRealEnv();
    win32::Win32Services os;
    if (folder) {
      env->MakeFolder("SelfUpdate.lock");
    } else {
      env->WriteFile("SelfUpdate.lock", "");
      ASSERT_TRUE(SetFileAttributesA((env->Root() + "SelfUpdate.lock").c_str(), FILE_ATTRIBUTE_READONLY));
    }
    const OpResult r = os.LockApplicationFolder(env->Root());
    if (folder) {
      EXPECT_EQ(r.kind, ErrorKind::kBusy);
    } else {
      EXPECT_TRUE(r.ok) << r.error;
    }
  }
}

TEST(Win32Services, ReadOnlyAndHiddenFilesAreCopiedWithTheirAttributes) {
  auto env = MakeRealEnv();
  win32::Win32Services os;
  const AnsiString root = env->Root();
  env->WriteFile("ro.dll", "read only");
  env->WriteFile("hidden.exe", "hidden");
  env->WriteFile("old.dll", "old");
  ASSERT_TRUE(SetFileAttributesA((root + "ro.dll").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesA((root + "hidden.exe").c_str(), FILE_ATTRIBUTE_HIDDEN));

  // Flushing needs the copy opened for writing, which its read-only
  // attribute would refuse; the copy must succeed all the same.
  EXPECT_TRUE(os.CopyFileOver(root + "ro.dll", root + "new.dll", {}).ok);
  EXPECT_TRUE(os.CopyFileOver(root + "ro.dll", root + "old.dll", {}).ok);
  EXPECT_TRUE(os.CopyFileOver(root + "hidden.exe", root + "shown.exe", {}).ok);
  std::string content;
  EXPECT_TRUE(env->ReadFile("new.dll", &content));
  EXPECT_EQ(content, "read only");
  EXPECT_TRUE(env->ReadFile("old.dll", &content));
  EXPECT_EQ(content, "read only");
  EXPECT_TRUE(env->ReadFile("shown.exe", &content));
  EXPECT_EQ(content, "hidden");
  EXPECT_TRUE(GetFileAttributesA((root + "new.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(GetFileAttributesA((root + "shown.exe").c_str()) & FILE_ATTRIBUTE_HIDDEN);

  // Removing one is what the update does with a staged copy it has applied
  // and with an older backup: neither may stay because it is read-only. One
  // that is another name (a hard link) of a file elsewhere goes too, and the
  // file keeps its attribute under its other name.
  ASSERT_TRUE(CreateHardLinkA((root + "link.dll").c_str(), (root + "old.dll").c_str(), nullptr));
  EXPECT_TRUE(os.RemoveFile(root + "new.dll").ok);
  EXPECT_TRUE(os.RemoveFile(root + "ro.dll").ok);
  EXPECT_TRUE(os.RemoveFile(root + "link.dll").ok);
  EXPECT_TRUE(GetFileAttributesA((root + "old.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(env->List(""), (std::vector<AnsiString>{"hidden.exe", "old.dll", "shown.exe"}));
}

// Converters that keep to the parameter rules documented for
// WideCharToMultiByte and MultiByteToWideChar, whatever the system under the
// tests does (Wine accepts everything): UTF-8 and GB18030 take no flag but
// the invalid-character one; UTF-7, Symbol, the ISO-2022 family and ISCII take
// none; none of them takes a default character or reports its use. The
// conversions themselves are the system's.
class DocumentedConverters : public win32::TextConverters {
 public:
  int ToMultiByte(unsigned codePage, unsigned long flags, const wchar_t* wide, int wideLength, char* out,
                  int outSize, const char* defaultChar, int* usedDefault) override {
    if (Restricted(codePage)) {
      if ((flags & ~AllowedFlags(codePage, WC_ERR_INVALID_CHARS)) != 0) return Refuse(ERROR_INVALID_FLAGS);
      if (defaultChar != nullptr || usedDefault != nullptr) return Refuse(ERROR_INVALID_PARAMETER);
    }
    return WideCharToMultiByte(codePage, flags, wide, wideLength, out, outSize, defaultChar, usedDefault);
  }
  int ToWide(unsigned codePage, unsigned long flags, const char* bytes, int length, wchar_t* out,
             int outSize) override {
    if (Restricted(codePage) && (flags & ~AllowedFlags(codePage, MB_ERR_INVALID_CHARS)) != 0)
      return Refuse(ERROR_INVALID_FLAGS);
    return MultiByteToWideChar(codePage, flags, bytes, length, out, outSize);
  }

 private:
  static bool Restricted(unsigned cp) {
    return cp == CP_UTF8 || cp == 54936 || cp == CP_UTF7 || cp == 42 || cp == 50220 || cp == 50221 ||
           cp == 50222 || cp == 50225 || cp == 50227 || cp == 50229 || (cp >= 57002 && cp <= 57011);
  }
  static unsigned long AllowedFlags(unsigned cp, unsigned long invalidCharacters) {
    return cp == CP_UTF8 || cp == 54936 ? invalidCharacters : 0;
  }
  static int Refuse(DWORD error) {
    SetLastError(error);
    return 0;
  }
};

std::vector<wchar_t> Wide(const wchar_t* text) { return std::vector<wchar_t>(text, text + wcslen(text)); }

AnsiString InCodePage(unsigned codePage, const std::vector<wchar_t>& wide) {
  char out[512];
  const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out,
                                    sizeof out, nullptr, nullptr);
  return AnsiString(out, n > 0 ? static_cast<std::size_t>(n) : 0);
}

TEST(Win32OwnPath, IsCheckedInEveryCodePageTheSystemMayUse) {
  DocumentedConverters converters;
  const auto chinese = Wide(L"C:\\\u5e94\u7528\\Update.exe");  // C:\应用\Update.exe
  const auto german = Wide(L"C:\\M\u00fcller\\Update.exe");    // C:\Müller\Update.exe
  // UTF-8 as the ANSI code page, and UTF-7, which refuses every flag.
  for (unsigned codePage : {65001u, 65000u}) {
    for (const auto& path : {chinese, german}) {
      const AnsiString ansi = InCodePage(codePage, path);
      ASSERT_FALSE(ansi.empty()) << "the system cannot convert to code page " << codePage;
      EXPECT_TRUE(win32::IsExactAnsiForm(ansi, path, codePage, converters)) << codePage << " " << ansi;
    }
  }
  EXPECT_TRUE(win32::IsExactAnsiForm(InCodePage(936, chinese), chinese, 936, converters));
  EXPECT_TRUE(win32::IsExactAnsiForm(InCodePage(1252, german), german, 1252, converters));

  // A character the code page lacks comes out as a default or a look-alike,
  // which does not turn back into it: Thai in 936, a Latin A with macron in
  // 1252 (best fit: A), a lone surrogate in UTF-8 (U+FFFD).
  const std::pair<unsigned, const wchar_t*> lossy[] = {
      {936, L"C:\\\u0e01\\Update.exe"}, {1252, L"C:\\\u0100\\Update.exe"},
      {65001, L"C:\\\xd800\\Update.exe"}};
  for (const auto& [codePage, text] : lossy) {
    const auto path = Wide(text);
    EXPECT_FALSE(win32::IsExactAnsiForm(InCodePage(codePage, path), path, codePage, converters)) << codePage;
  }
  // An ANSI path that is not what the wide one converts to.
  EXPECT_FALSE(win32::IsExactAnsiForm("C:\\Other\\Update.exe", german, 1252, converters));

  // The installer's name, written in code page 936, by the same rule: 932 and
  // UTF-8 spell it with other bytes; 1252 lacks both characters, and Korean
  // and Traditional Chinese lack the second (or give a look-alike).
  const std::pair<unsigned, AnsiString> installer[] = {
      {936, texts::kInstallerName}, {932, "\x88\xC0\x91\x95.EXE"},
      {65001, "\xE5\xAE\x89\xE8\xA3\x85.EXE"}, {1252, ""}, {949, ""}, {950, ""}};
  for (const auto& [codePage, spelled] : installer)
    EXPECT_EQ(win32::FromCodePage936(texts::kInstallerName, codePage, converters), spelled) << codePage;
}

TEST(Win32OwnPath, TheShortFormStandsInWhereTheLongOneCannotBeUsed) {
  DocumentedConverters converters;
  const auto zoe = Wide(L"C:\\Zo\u00eb\\App\\Update.exe");  // outside code page 936
  const auto zoeShort = Wide(L"C:\\ZO_~~ANK\\App\\UPDATE~1.EXE");
  const std::wstring deepFolder = L"C:\\" + std::wstring(250, L'd');
  const auto deep = Wide((deepFolder + L"\\Update.exe").c_str());
  const auto deepShort = Wide(L"C:\\DDDDDD~1\\Update.exe");
  const auto deeperShort = Wide((deepFolder + L"\\UPDATE~1.EXE").c_str());
  const struct {
    const char* what;
    std::vector<wchar_t> wide, shortWide;
    const char* chosen;  // null: the long form itself
  } cases[] = {
      {"exact and short enough", zoe, zoeShort, nullptr},
      {"outside the code page", zoe, zoeShort, "C:\\ZO_~~ANK\\App\\UPDATE~1.EXE"},
      {"no short names on the volume", zoe, {}, ""},
      {"short form the same as the long", zoe, zoe, ""},
      {"too long", deep, deepShort, "C:\\DDDDDD~1\\Update.exe"},
      {"short form too long as well", deep, deeperShort, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const unsigned codePage = c.chosen == nullptr ? 1252 : 936;
    const AnsiString ansi = InCodePage(codePage, c.wide);
    EXPECT_EQ(win32::UsableOwnPath(ansi, c.wide, c.shortWide, codePage, converters),
              c.chosen == nullptr ? ansi : AnsiString(c.chosen));
  }
  // The ANSI call gave nothing at all; the short form is still read.
  EXPECT_EQ(win32::UsableOwnPath("", zoe, zoeShort, 936, converters), "C:\\ZO_~~ANK\\App\\UPDATE~1.EXE");
}

TEST(Win32CodePage, Utf8HasNoLeadBytesAndKeepsTheTextRules) {
  // What Windows set to use UTF-8 for every language makes the ANSI code
  // page: GetCPInfo gives characters of up to four bytes but no lead bytes.
  const CodePage cp = SystemCodePage(CP_UTF8);
  EXPECT_FALSE(cp.multiByte);
  const AnsiString folder = "C:\\\xe5\xba\x94\xe7\x94\xa8\\";  // C:\应用\ in UTF-8
  EXPECT_EQ(ReverseFindByte(cp, folder + "Update.exe", '\\'), folder.size() - 1);
  const AnsiString name = "\xe4\xb8\xbb.ExE";  // 主.ExE
  EXPECT_EQ(FindString(cp, name, "."), 3u);
  EXPECT_TRUE(EqualsNoCase(cp, name.substr(4), "exe"));
  EXPECT_TRUE(EqualsNoCase(cp, "\xe5\xae\x89\xe8\xa3\x85.EXE", "\xe5\xae\x89\xe8\xa3\x85.exe"));
  EXPECT_FALSE(EqualsNoCase(cp, "\xef\xbd\x85xe", "exe")) << "a full-width letter is not a letter";
}

TEST(Win32Services, ErrorModeIsAddedToNotReplaced) {
  const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
  win32::AddStartupErrorMode();
  const UINT now = SetErrorMode(before);
  EXPECT_EQ(now, static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
}

void Throw() { throw 1; }

TEST(Win32ProcessDeathTest, AnUncaughtExceptionEndsTheProcessWithCode3) {
  // An exception that no handler takes: the runtime calls the terminate
  // handler, as it does for one that leaves WinMain. Through a pointer, so
  // the compiler cannot see (and refuse) the throw out of noexcept code.
  void (*volatile thrower)() = Throw;
  EXPECT_EXIT(
      {
        std::set_terminate(win32::EndAbnormally);
        [thrower]() noexcept { thrower(); }();
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
