// The Windows platform's own parts: the code page as the system reports it,
// the shell's path helpers, the durable copy and the process-wide settings.
// The operations every platform shares are covered by the contract tests.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_services.h"
#include "tests/contract_env.h"

namespace {

unsigned Upper(const CodePage& cp, unsigned char lead, unsigned char trail) {
  unsigned mapped = 0;
  return cp.doubleByteUpper(lead, trail, &mapped) ? mapped : 0xFFFFFFFFu;
}

TEST(Win32CodePage, IsTheSystemAnsiCodePage) {
  const CodePage& cp = ActiveCodePage();
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
  const CodePage& cp = ActiveCodePage();
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
  const char* const paths[] = {
      "C:\\App\\Update.exe", "C:\\App\\My.Tool.exe", "C:\\App\\NoExtension", "C:\\a.b\\c",
      "C:\\App\\x. y", "\\\\server\\share\\Up.exe", "Update.exe", "C:Update.exe",
      "C:\\App\\.exe"};
  for (const char* path : paths) EXPECT_EQ(ShellDisplayName(path), DisplayNameFromPath(path)) << path;
  EXPECT_EQ(ShellDisplayName("C:\\App\\Update.exe"), "Update");
  EXPECT_EQ(ShellDisplayName("C:\\App\\My.Tool.exe"), "My.Tool");
  if (GetACP() == 936) {
    // A folder whose last character ends in 0x5C, and a name that does.
    EXPECT_EQ(ShellDisplayName("C:\\\x95\x5C\\\xB0\xB2\x95\x5C.exe"), "\xB0\xB2\x95\x5C");
    EXPECT_EQ(DisplayNameFromPath("C:\\\x95\x5C\\\xB0\xB2\x95\x5C.exe"), "\xB0\xB2\x95\x5C");
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
  EXPECT_TRUE(os.CopyFileOver(root + "ro.dll", root + "new.dll").ok);
  EXPECT_TRUE(os.CopyFileOver(root + "ro.dll", root + "old.dll").ok);
  EXPECT_TRUE(os.CopyFileOver(root + "hidden.exe", root + "shown.exe").ok);
  std::string content;
  EXPECT_TRUE(env->ReadFile("new.dll", &content));
  EXPECT_EQ(content, "read only");
  EXPECT_TRUE(env->ReadFile("old.dll", &content));
  EXPECT_EQ(content, "read only");
  EXPECT_TRUE(env->ReadFile("shown.exe", &content));
  EXPECT_EQ(content, "hidden");
  EXPECT_TRUE(GetFileAttributesA((root + "new.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(GetFileAttributesA((root + "shown.exe").c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST(Win32Services, ErrorModeIsAddedToNotReplaced) {
  const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
  win32::Win32Services os;
  os.AddErrorMode(kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
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
