// The POSIX side of the platform: how paths and names are presented to the
// logic, and the copy's promises that the contract tests cannot reach.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>

#include "platform/ansi_text.h"
#include "platform/posix/encoding.h"
#include "platform/posix/case_resolution.h"
#include "platform/posix/copy.h"
#include "platform/posix/log_file.h"
#include "platform/posix/path_translation.h"
#include "platform/posix/posix_services.h"

namespace {

// Case resolution of a native path in a resolver of its own, which reads the
// folders as they are now.
std::string ResolveCase(const std::string& native) {
  posix::CaseResolver resolver;
  return resolver.Resolve(native);
}

// The copy on native paths, taken exactly as given, into the target's folder
// opened with `folderFlags`. Returns 0 or errno.
int CopyNativeFileOver(const std::string& from, const std::string& to, int folderFlags = O_RDONLY) {
  struct stat st;
  int in = -1;
  if (const int err = posix::OpenRegularFile(AT_FDCWD, from, &in, &st)) return err;
  const std::size_t slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
  const int dir = open(folder.c_str(), folderFlags | O_DIRECTORY | O_CLOEXEC);
  int err = dir < 0 ? errno : 0;
  if (err == 0) {
    err = posix::CopyIntoFolder(in, st, dir, slash == std::string::npos ? to : to.substr(slash + 1),
                                posix::NewFileMode(st), posix::Owner());
    close(dir);
  }
  close(in);
  return err;
}

TEST(PosixPaths, TranslateBothWaysAtCharacterBoundaries) {
  const struct {
    const char* native;
    const char* logic;
  } cases[] = {
      {"/opt/app/Update", "\\opt\\app\\Update"},
      {"/", "\\"},
      {"/a/\xE5\xAE\x89\xE8\xA3\x85.EXE", "\\a\\\xB0\xB2\xD7\xB0.EXE"},
      {"/\xE6\x98\x9E/x", "\\\x95\x5C\\x"},  // a second byte 0x5C is not a separator
      // Characters code page 936 lacks take the four-byte form that spells
      // their code point; those it has keep their 936 bytes.
      {"/\xF0\x9F\x98\x80.exe", "\\\x8B\x31\xFE\x32.exe"},
      {"/\xED\x95\x9C\xEA\xB5\xAD/Zo\xC3\xAB", "\\\x85\x33\xAD\x30\x84\x35\x9E\x37\\Zo\x81\x30\x98\x35"},
      {"/\xE4\xB6\xAE\xC7\xB9\xF3\xA0\x81\x81", "\\\x82\x35\xE3\x36\x81\x30\xB3\x35\xC9\x38\x9D\x39"},
      {"/\xE2\x82\xAC", "\\\x80"},  // the euro sign, a single byte
      {"/\xCE\x95\xCE\xBB", "\\\xA6\xA5\xA6\xCB"},
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

TEST(PosixPaths, FourByteFormsHaveNoCase) {
  // Characters code page 936 lacks compare as themselves; the letters around
  // them still fold.
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"Zo\xC3\xAB.exe", "zO\xC3\xAB.EXE", true},
      {"Zo\xC3\xAB.exe", "ZO\xC3\x8B.exe", false},  // e-diaeresis and its capital
      {"\xF0\x9F\x98\x80.dll", "\xF0\x9F\x98\x80.DLL", true},
      {"\xF0\x9F\x98\x80.dll", "\xF0\x9F\x98\x81.dll", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.b);
    std::string a, b;
    ASSERT_TRUE(posix::LogicNameFromNative(c.a, &a));
    ASSERT_TRUE(posix::LogicNameFromNative(c.b, &b));
    EXPECT_EQ(EqualsNoCase(posix::LogicCodePage(), a, b), c.equal);
  }
}

TEST(PosixPaths, NamesTheLogicCannotHoldAreRefused) {
  std::string out;
  EXPECT_FALSE(posix::LogicNameFromNative("\xFF\xFE.exe", &out)) << "invalid UTF-8";
  EXPECT_FALSE(posix::LogicNameFromNative("..\\evil.exe", &out)) << "a backslash would split it";
  EXPECT_FALSE(posix::LogicFromNative("/ok/\xFF/x", &out));
  EXPECT_FALSE(posix::NativeFromLogic("\\a\\\x81", &out)) << "a lone lead byte is no character";
  // Not the shortest form of one scalar value: an overlong slash, a
  // surrogate, past U+10FFFF, cut short.
  for (const char* name : {"\xC0\xAF.exe", "\xED\xA0\x80.exe", "\xF4\x90\x80\x80.exe", "\xE4\xB6"})
    EXPECT_FALSE(posix::LogicNameFromNative(name, &out)) << name;
  // Four-byte forms that no name is given: of a character code page 936
  // has, of an ASCII letter, past U+10FFFF. Taken, they would make a second
  // logic name for one native name.
  for (const char* logic : {"\\\x82\x38\xCC\x33", "\\\x81\x30\x87\x35", "\\\xD9\x34\x9C\x32"})
    EXPECT_FALSE(posix::NativeFromLogic(logic, &out)) << out;
}

// The UTF-8 form of one scalar value.
std::string Utf8(unsigned c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  if (c < 0x800) return {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
  if (c < 0x10000)
    return {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
  return {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
          static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
}

TEST(PosixPaths, EveryCodePointHasALogicFormThatTranslatesBack) {
  // Each Unicode scalar value alone converts to the logic's bytes and back
  // unchanged, and the text rules never see a single ASCII byte in the form
  // of another character (it could be taken for a separator or a dot). All
  // of them in one name convert back too, so no form runs into the next.
  const CodePage& cp = posix::LogicCodePage();
  std::string all, failures;
  unsigned failed = 0;
  for (unsigned c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string utf8 = Utf8(c);
    all += utf8;
    std::string logic, back;
    bool ok = posix::Utf8ToAnsi(utf8, &logic) && posix::AnsiToUtf8(logic, &back) && back == utf8;
    for (std::size_t i = 0, n; ok && c >= 0x80 && (n = CharLength(cp, logic.c_str() + i)) != 0; i += n)
      ok = n == 2 || static_cast<unsigned char>(logic[i]) >= 0x80;
    if (!ok && ++failed <= 10) {
      char hex[16];
      std::snprintf(hex, sizeof hex, " U+%04X", c);
      failures += hex;
    }
  }
  EXPECT_EQ(failed, 0u) << "code points without a logic form that translates back, the first:" << failures;
  std::string logic, back;
  ASSERT_TRUE(posix::Utf8ToAnsi(all, &logic));
  ASSERT_TRUE(posix::AnsiToUtf8(logic, &back));
  EXPECT_TRUE(back == all) << "the name of every character changed on its way back";
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

TEST_F(PosixFolder, ResolveCasePrefersTheExactNameAndNeverPicksATwin) {
  Write("main.exe", "1");
  Write("MAIN.exe", "2");
  Write("Main.exe", "3");
  EXPECT_EQ(ResolveCase(dir + "/Main.exe"), dir + "/Main.exe");
  EXPECT_EQ(ResolveCase(dir + "/MAIN.EXE"), dir + "/MAIN.EXE") << "twins: only the exact name";
  EXPECT_EQ(ResolveCase(dir + "/new.exe"), dir + "/new.exe");
  mkdir((dir + "/SelfTemp").c_str(), 0755);
  EXPECT_EQ(ResolveCase(dir + "/selftemp/x"), dir + "/SelfTemp/x");
}

TEST_F(PosixFolder, ATwinRemovedBeforeTheFolderWasReadStillProtectsItsGroup) {
  // The folder is read only at the first name missing from it; the twin the
  // run removed exactly before that still counts, so the one left is no
  // stand-in for another spelling. A name without twins still is.
  Write("Core.dll", "1");
  Write("core.dll", "unrelated");
  Write("Main.exe", "2");
  posix::PosixServices os;
  AnsiString root;
  ASSERT_TRUE(posix::LogicFromNative(dir, &root));
  ASSERT_TRUE(os.RemoveFile(root + "\\Core.dll").ok);
  EXPECT_FALSE(os.PathExists(root + "\\CORE.DLL", nullptr)) << "core.dll taken for the removed twin";
  EXPECT_TRUE(os.PathExists(root + "\\MAIN.EXE", nullptr)) << "no twins: another spelling serves";
}

TEST_F(PosixFolder, ALockFileThatCannotServeIsWaitedOutNotIgnored) {
  // A folder at the lock's name is a lock file nobody can open: busy, like
  // one another updater holds, never a folder without a lock.
  ASSERT_EQ(mkdir((dir + "/SelfUpdate.lock").c_str(), 0755), 0);
  posix::PosixServices os;
  AnsiString root;
  ASSERT_TRUE(posix::LogicFromNative(dir, &root));
  EXPECT_EQ(os.LockApplicationFolder(root + "\\").kind, ErrorKind::kBusy);
}

TEST_F(PosixFolder, AFailedCopyLeavesTheTargetAndNoTemporary) {
  Write("target", "old");
  // Reading the process's own memory at offset 0 fails with an I/O error
  // after the temporary file has been made.
  EXPECT_NE(CopyNativeFileOver("/proc/self/mem", dir + "/target"), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"target"}));
  std::ifstream in(dir + "/target");
  std::string content;
  in >> content;
  EXPECT_EQ(content, "old");
}

TEST_F(PosixFolder, CopyRefusesNonFilesAndMissingFoldersOnly) {
  Write("src", "x");
  mkdir((dir + "/sub").c_str(), 0755);
  EXPECT_NE(CopyNativeFileOver(dir + "/sub", dir + "/t"), 0);
  EXPECT_NE(CopyNativeFileOver(dir + "/src", dir + "/none/t"), 0);
  EXPECT_EQ(CopyNativeFileOver(dir + "/src", dir + "/t"), 0);
  // A folder the process may enter but not list is open only as a path,
  // which cannot be flushed; the file is in place all the same.
  EXPECT_EQ(CopyNativeFileOver(dir + "/src", dir + "/u", O_PATH), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"src", "sub", "t", "u"}));
}

// The diagnostic log's file: appended to in UTF-8, never through a link and
// never anything but a regular file (a FIFO would hold the run), and nothing
// at all for an empty variable.
TEST_F(PosixFolder, TheLogFileAppendsUtf8LinesToRegularFilesOnly) {
  Write("log", "earlier\n");
  Write("other", "someone else's\n");
  symlink((dir + "/other").c_str(), (dir + "/link").c_str());
  mkfifo((dir + "/fifo").c_str(), 0600);
  const auto logTo = [](const std::string& value, const AnsiString& line) {
    setenv(kDiagnosticLogVariable, value.c_str(), 1);
    posix::LogFile log;
    log.WriteLine(line);
    unsetenv(kDiagnosticLogVariable);
    return log.IsOpen();
  };
  // "copy" and 程序 in code page 936, then bytes that are no character.
  EXPECT_TRUE(logTo(dir + "/log", "copy \xB3\xCC\xD0\xF2"));
  EXPECT_TRUE(logTo(dir + "/log", "x\xFF"));
  EXPECT_FALSE(logTo(dir + "/link", "no"));
  EXPECT_FALSE(logTo(dir + "/fifo", "no"));
  EXPECT_FALSE(logTo("", "no"));
  EXPECT_TRUE(logTo(dir + "/new", "made"));
  const auto read = [this](const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const std::string pid = "[" + std::to_string(getpid()) + "] ";
  EXPECT_EQ(read("log"), "earlier\n" + pid + "copy \u7a0b\u5e8f\n" + pid + "x?\n");
  EXPECT_EQ(read("other"), "someone else's\n");
  EXPECT_EQ(read("new"), pid + "made\n");
  EXPECT_EQ(Names(), (std::vector<std::string>{"fifo", "link", "log", "new", "other"}));
}

// The relaunch's outcome: a missing program, and one that is there but no
// program with nothing to open it, are told apart; a started one is no
// failure. So is a staged link, which is never followed.
TEST_F(PosixFolder, TheRelaunchAndTheCopyReportWhatKeptThemFromIt) {
  Write("Host.exe", "#!/bin/sh\n");
  chmod((dir + "/Host.exe").c_str(), 0755);
  Write("Data.exe", "not a program");
  ASSERT_EQ(symlink((dir + "/Data.exe").c_str(), (dir + "/Link.exe").c_str()), 0);
  std::string logicDir;
  ASSERT_TRUE(posix::LogicFromNative(dir, &logicDir));
  posix::PosixServices os;
  const OpResult missing = os.ShellOpen(logicDir + "\\Missing.exe");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.kind, ErrorKind::kNotFound);
  EXPECT_EQ(missing.error, static_cast<unsigned long>(ENOENT));
  EXPECT_TRUE(os.ShellOpen(logicDir + "\\host.EXE").ok);
  const char* const path = std::getenv("PATH");
  const std::string saved = path != nullptr ? path : "";
  setenv("PATH", dir.c_str(), 1);  // no opener to be found
  EXPECT_EQ(os.ShellOpen(logicDir + "\\Data.exe").kind, ErrorKind::kNoProgram);
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(os.CopyFileOver(logicDir + "\\Link.exe", logicDir + "\\New.exe", {}).kind, ErrorKind::kIsLink);
}

TEST_F(PosixFolder, NamesSwappedByAnotherProcessAreStillFound) {
  // Once the run has read the folder, another process exchanges two names
  // in one step. A staged B.DLL must still replace b.dll, not land beside it.
  Write("b.dll", "old b");
  Write("c.dll", "old c");
  Write("staged", "new b");
  posix::PosixServices os;
  AnsiString root;
  ASSERT_TRUE(posix::LogicFromNative(dir, &root));
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(os.PathExists(root + "\\B.DLL.Old", nullptr));  // read the folder
  ASSERT_EQ(renameat2(AT_FDCWD, (dir + "/c.dll").c_str(), AT_FDCWD, (dir + "/b.dll").c_str(),
                      RENAME_EXCHANGE), 0);
  EXPECT_TRUE(os.CopyFileOver(root + "\\staged", root + "\\B.DLL", {}).ok);
  EXPECT_EQ(Names(), (std::vector<std::string>{"b.dll", "c.dll", "staged"}));
  std::ifstream in(dir + "/b.dll");
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "new b");
}

TEST(PosixServicesTest, ModulePathIsTheRunningExecutableInLogicForm) {
  posix::PosixServices os;
  const AnsiString path = os.ModulePath();
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

namespace {

// A name that exists only in another letter case is found however often the
// same folder is asked about, and whoever changed the folder in between.
class PosixCaseLookup : public PosixFolder {
 protected:
  // Changes made by another process, which this one hears nothing about.
  void Elsewhere(const std::string& command) {
    ASSERT_EQ(system(("cd '" + dir + "' && " + command).c_str()), 0) << command;
  }
  std::string Resolve(const std::string& name) {
    const std::string resolved = ResolveCase(dir + "/" + name);
    EXPECT_EQ(resolved.compare(0, dir.size() + 1, dir + "/"), 0) << resolved;
    return resolved.substr(dir.size() + 1);
  }
};

TEST_F(PosixCaseLookup, RepeatedLookupsFollowEveryChangeToTheFolder) {
  Write("Main.exe", "1");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Resolve("Main.exe.Old"), "Main.exe.Old");

  Elsewhere("touch main.exe.old");
  EXPECT_EQ(Resolve("Main.exe.Old"), "main.exe.old");
  Elsewhere("touch MAIN.EXE.OLD");
  EXPECT_EQ(Resolve("Main.exe.Old"), "Main.exe.Old") << "twins: only the exact name";
  Elsewhere("rm MAIN.EXE.OLD");
  EXPECT_EQ(Resolve("Main.exe.Old"), "main.exe.old");
  Elsewhere("mv main.exe.old Main.EXE.old");
  EXPECT_EQ(Resolve("Main.exe.Old"), "Main.EXE.old");
  Elsewhere("mv Main.EXE.old ../moved-away-$$ && rm ../moved-away-$$");
  EXPECT_EQ(Resolve("Main.exe.Old"), "Main.exe.Old");

  // This process's own changes, straight through the system.
  ASSERT_EQ(rename((dir + "/Main.exe").c_str(), (dir + "/MAIN.EXE.OLD").c_str()), 0);
  EXPECT_EQ(Resolve("Main.exe.Old"), "MAIN.EXE.OLD");
  EXPECT_EQ(Resolve("Main.exe"), "Main.exe") << "gone: kept as given";
  ASSERT_EQ(unlink((dir + "/MAIN.EXE.OLD").c_str()), 0);
  EXPECT_EQ(Resolve("Main.exe.Old"), "Main.exe.Old");
}

TEST_F(PosixCaseLookup, AFolderReplacedUnderItsNameIsReadAnew) {
  mkdir((dir + "/App").c_str(), 0755);
  Write("App/Core.dll", "1");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Resolve("App/CORE.DLL.OLD"), "App/CORE.DLL.OLD");
  EXPECT_EQ(Resolve("App/CORE.DLL"), "App/Core.dll");

  Elsewhere("mv App Gone && mkdir App && touch App/core.dll.old");
  EXPECT_EQ(Resolve("App/CORE.DLL.OLD"), "App/core.dll.old");
  EXPECT_EQ(Resolve("App/CORE.DLL"), "App/CORE.DLL");
  EXPECT_EQ(Resolve("Gone/CORE.DLL"), "Gone/Core.dll") << "the old folder under its new name";

  Elsewhere("rm -r App && mkdir App");
  EXPECT_EQ(Resolve("App/CORE.DLL.OLD"), "App/CORE.DLL.OLD");
  EXPECT_EQ(Resolve("app/core.dll.old"), "App/core.dll.old");
}

TEST_F(PosixCaseLookup, AForkedChildAndItsParentBothSeeTheChanges) {
  Write("Main.exe", "1");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Resolve("Main.exe.Old"), "Main.exe.Old");
  Elsewhere("touch MAIN.EXE.OLD");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(ResolveCase(dir + "/Main.exe.Old") == dir + "/MAIN.EXE.OLD" ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Resolve("Main.exe.Old"), "MAIN.EXE.OLD");
}

TEST_F(PosixCaseLookup, LettersOfEveryScriptMatchAsWindowsMatchesThem) {
  // Pairs of existing and asked-for names, and whether they match, on the
  // first lookup and on later ones.
  const struct {
    const char* existing;
    const char* asked;
    bool equal;
  } cases[] = {
      {"\xEF\xBC\xA1\xEF\xBC\xA2.exe", "\xEF\xBD\x81\xEF\xBD\x82.EXE", true},  // fullwidth AB / ab
      {"\xCE\xA9mega.dll", "\xCF\x89MEGA.DLL", true},                          // Greek capital / small omega
      {"\xD0\x96\xD1\x83\xD0\xBA.exe", "\xD0\xB6\xD0\xA3\xD0\x9A.EXE", true},  // Cyrillic Zhuk / zhUK
      {"\xE5\xAE\x89\xE8\xA3\x85.EXE", "\xE5\xAE\x89\xE8\xA3\x85.exe", true},  // the installer's name
      {"\xE5\xAE\x89.exe", "\xE8\xA3\x85.exe", false},                          // two different characters
      {"\xC3\xA9t\xC3\xA9.dll", "\xC3\xA9T\xC3\xA9.DLL", true},
      {"ab.exe", "ab.exe.old", false},
      // Letters code page 936 has only one case of, or none, match as the
      // Windows file system matches them: e-acute (936) and its capital (not).
      {"\xC3\x89.DLL", "\xC3\xA9.dll", true},
      {"Zo\xC3\xAB.exe", "zO\xC3\xAB.EXE", true},
      {"Zo\xC3\xAB.dll", "ZO\xC3\x8B.DLL", true},
      {"k.dll", "\xE2\x84\xAA.dll", false},  // the Kelvin sign is no capital k
  };
  int folder = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const std::string sub = "f" + std::to_string(folder++);
    ASSERT_EQ(mkdir((dir + "/" + sub).c_str(), 0755), 0);
    Write(sub + "/" + c.existing, "x");
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(Resolve(sub + "/" + c.asked), sub + "/" + (c.equal ? c.existing : c.asked)) << "lookup " << i;
  }
}

}  // namespace
