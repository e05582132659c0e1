// The POSIX side of the platform: how paths and names are presented to the
// logic, and the copy's promises that the contract tests cannot reach.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <fstream>

#include "platform/posix/encoding.h"
#include "platform/posix/paths.h"
#include "platform/posix/posix_services.h"

namespace {

TEST(PosixPaths, TranslateBothWaysAtCharacterBoundaries) {
  const struct {
    const char* native;
    const char* logic;
  } cases[] = {
      {"/opt/app/Update", "\\opt\\app\\Update"},
      {"/", "\\"},
      {"/a/\xE5\xAE\x89\xE8\xA3\x85.EXE", "\\a\\\xB0\xB2\xD7\xB0.EXE"},
      {"/\xE6\x98\x9E/x", "\\\x95\x5C\\x"},  // a second byte 0x5C is not a separator
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.native);
    std::string logic, native;
    ASSERT_TRUE(posix::LogicFromNative(c.native, &logic));
    EXPECT_EQ(logic, c.logic);
    ASSERT_TRUE(posix::NativeFromLogic(c.logic, &native));
    EXPECT_EQ(native, c.native);
  }
}

TEST(PosixPaths, NamesTheLogicCannotHoldAreRefused) {
  std::string out;
  EXPECT_FALSE(posix::LogicNameFromNative("\xFF\xFE.exe", &out)) << "invalid UTF-8";
  EXPECT_FALSE(posix::LogicNameFromNative("\xF0\x9F\x98\x80.exe", &out)) << "not in code page 936";
  EXPECT_FALSE(posix::LogicNameFromNative("..\\evil.exe", &out)) << "a backslash would split it";
  EXPECT_FALSE(posix::LogicFromNative("/ok/\xFF/x", &out));
  EXPECT_FALSE(posix::NativeFromLogic("\\a\\\x81", &out)) << "a lone lead byte is no character";
}

class PosixFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/selfupdate-posix-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override { (void)!system(("rm -rf '" + dir + "'").c_str()); }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(dir + "/" + name, std::ios::binary) << content;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (const dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir;
};

TEST_F(PosixFolder, ResolveCasePrefersTheExactNameThenTheSmallestMatch) {
  Write("main.exe", "1");
  Write("MAIN.exe", "2");
  Write("Main.exe", "3");
  EXPECT_EQ(posix::ResolveCase(dir + "/Main.exe"), dir + "/Main.exe");
  EXPECT_EQ(posix::ResolveCase(dir + "/MAIN.EXE"), dir + "/MAIN.exe");
  EXPECT_EQ(posix::ResolveCase(dir + "/new.exe"), dir + "/new.exe");
  mkdir((dir + "/SelfTemp").c_str(), 0755);
  EXPECT_EQ(posix::ResolveCase(dir + "/selftemp/x"), dir + "/SelfTemp/x");
}

TEST_F(PosixFolder, AFailedCopyLeavesTheTargetAndNoTemporary) {
  Write("target", "old");
  // Reading the process's own memory at offset 0 fails with an I/O error
  // after the temporary file has been made.
  EXPECT_NE(posix::CopyFileAtomic("/proc/self/mem", dir + "/target"), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"target"}));
  std::ifstream in(dir + "/target");
  std::string content;
  in >> content;
  EXPECT_EQ(content, "old");
}

TEST_F(PosixFolder, CopyRefusesNonFilesAndMissingFolders) {
  Write("src", "x");
  mkdir((dir + "/sub").c_str(), 0755);
  EXPECT_NE(posix::CopyFileAtomic(dir + "/sub", dir + "/t"), 0);
  EXPECT_NE(posix::CopyFileAtomic(dir + "/src", dir + "/none/t"), 0);
  EXPECT_EQ(posix::CopyFileAtomic(dir + "/src", dir + "/t"), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"src", "sub", "t"}));
}

TEST(PosixServicesTest, ModulePathIsTheRunningExecutableInLogicForm) {
  posix::PosixServices os;
  const AnsiString path = os.ModuleFileName();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '\\');
  EXPECT_EQ(path.find('/'), AnsiString::npos);
  std::string native;
  ASSERT_TRUE(posix::NativeFromLogic(path, &native));
  char real[4096];
  const ssize_t n = readlink("/proc/self/exe", real, sizeof real);
  ASSERT_GT(n, 0);
  EXPECT_EQ(native, std::string(real, static_cast<std::size_t>(n)));
}

TEST(PosixProcessDeathTest, AnUncaughtExceptionEndsTheProcessWithCode3) {
  // The runtime calls the terminate handler for an exception nobody caught.
  EXPECT_EXIT(
      {
        std::set_terminate(posix::EndAbnormally);
        std::terminate();
      },
      ::testing::ExitedWithCode(3), "abnormal program termination");
}

}  // namespace
