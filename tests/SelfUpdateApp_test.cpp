// The start-up sequence: which first argument names the host program, the
// order of pass and relaunch, the display name, and what refuses to run.
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include <algorithm>

#include "app/SelfUpdateApp.h"
#include "platform/diagnostic_log.h"
#include "res/texts.h"
#include "tests/fault_injection.h"
#include "tests/memory_services.h"

namespace {

using Args = std::vector<AnsiString>;
using Log = std::vector<std::string>;

TEST(HostProgramName, OnlyAnOptionInFirstPlaceNamesTheHost) {
  const struct {
    Args argv;
    const char* host;
  } cases[] = {
      {{"Update.exe"}, ""},
      {{"Update.exe", "/Main.exe"}, "Main.exe"},
      {{"Update.exe", "-Main.exe"}, "Main.exe"},
      {{"Update.exe", "Main.exe", "/Main.exe"}, ""},
      {{"Update.exe", "x", "/Main.exe"}, ""},
      {{"Update.exe", "/"}, ""},
      {{"Update.exe", "-"}, ""},
      {{"Update.exe", ""}, ""},
      {{"Update.exe", "//Main.exe"}, "/Main.exe"},
      {{"Update.exe", "/My App.exe", "ignored", "-also"}, "My App.exe"},
      {{}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(none)");
    EXPECT_EQ(HostProgramNameFrom(c.argv), c.host);
  }
}

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.AddFolder("C:\\App");
    tree.AddFolder("C:\\App\\SelfTemp");
  }
  MemoryServices tree;
  FaultInjectingServices fs{tree};
};

TEST_F(StartUp, RunsThePassThenStartsTheHostAndExitsZero) {
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  EXPECT_EQ(AfxWinMain(fs, {"Update.exe", "/Main.exe"}), 0);
  // One updater at a time, then what killed runs left, then the pass and
  // the host.
  ASSERT_GE(fs.log.size(), 4u);
  EXPECT_EQ(Log(fs.log.begin(), fs.log.begin() + 3),
            (Log{"lock C:\\App\\", "clear C:\\App\\", "search C:\\App\\SelfTemp\\*.*"}));
  EXPECT_EQ(fs.log.back(), "launch C:\\App\\Main.exe");
  EXPECT_EQ(tree.Content("C:\\App\\Main.exe"), "new");
}

// A step that throws what nobody catches: the log says so, and the process
// ends through the platform's own end, whatever the services were.
class ThrowingServices : public ForwardingServices {
 public:
  using ForwardingServices::ForwardingServices;
  OpResult LockApplicationFolder(const AnsiString&) override { throw 1; }
};

struct StandardErrorSink : DiagnosticSink {
  void WriteLine(const AnsiString& line, const AnsiString& tail) override {
    std::fprintf(stderr, "%s%s\n", line.c_str(), tail.c_str());
  }
};

TEST_F(StartUp, AnExceptionNobodyCatchesIsLoggedAndEndsTheRunThroughThePlatform) {
  EXPECT_EXIT(
      {
        ThrowingServices throwing(tree);
        StandardErrorSink sink;
        // Out of a function that lets nothing escape, as out of main: gtest
        // would otherwise catch it.
        [&]() noexcept {
          RunProcess(throwing, &sink, {"Update.exe", "/Main.exe"}, [] { std::_Exit(kExitUncaughtException); });
        }();
      },
      ::testing::ExitedWithCode(kExitUncaughtException), "uncaught exception, exit code 3");
}

TEST_F(StartUp, WithoutAHostNameThePassStillRunsAndNothingStarts) {
  for (const Args& argv : {Args{"Update.exe"}, Args{"Update.exe", "/"}, Args{"Update.exe", "Main.exe"}}) {
    fs.log.clear();
    EXPECT_EQ(AfxWinMain(fs, argv), 0);
    EXPECT_EQ(fs.log, (Log{"lock C:\\App\\", "clear C:\\App\\", "search C:\\App\\SelfTemp\\*.*"}));
  }
}

TEST_F(StartUp, ABusyFolderIsWaitedForABoundedTimeAndOnlyWithSomethingStaged) {
  const FaultRule kBusy = {FaultRule::Op::Lock, "", 32, -1, 0, false, false, ErrorKind::kBusy};
  const struct {
    const char* what;
    bool staged;
    int busyTimes;  // -1: for good
    ErrorKind kind;
    int exitCode;
    int lockCalls;
    bool cleared, applied;
  } cases[] = {
      {"free at once", true, 0, ErrorKind::kBusy, kExitSuccess, 1, true, true},
      {"freed while waiting", true, 5, ErrorKind::kBusy, kExitSuccess, 6, true, true},
      {"held for good", true, -1, ErrorKind::kBusy, kExitFolderBusy, 301, false, false},
      {"held, nothing staged", false, -1, ErrorKind::kBusy, kExitSuccess, 1, false, false},
      {"a lock file that cannot serve", true, -1, ErrorKind::kAccessDenied, kExitFolderBusy, 301, false, false},
      {"no lock to be had here", true, -1, ErrorKind::kUnsupported, kExitSuccess, 1, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryServices t;
    FaultInjectingServices f{t};
    t.AddFolder("C:\\App");
    t.AddFolder("C:\\App\\SelfTemp");
    // Neither a file the pass skips nor a folder of an applied name is
    // anything staged to wait for.
    t.AddFile("C:\\App\\SelfTemp\\Readme.txt", "not applied");
    t.AddFolder("C:\\App\\SelfTemp\\Core.dll");
    if (c.staged) t.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
    FaultRule rule = kBusy;
    rule.times = c.busyTimes;
    rule.kind = c.kind;
    f.Add(rule);
    EXPECT_EQ(AfxWinMain(f, {"Update.exe", "/Main.exe"}), c.exitCode);
    EXPECT_EQ(std::count_if(f.log.begin(), f.log.end(), [](const std::string& l) { return l.rfind("lock ", 0) == 0; }),
              c.lockCalls);
    EXPECT_EQ(std::count(f.log.begin(), f.log.end(), "clear C:\\App\\"), c.cleared ? 1 : 0);
    EXPECT_EQ(t.Content("C:\\App\\Main.exe"), c.applied ? "new" : "<missing>");
    EXPECT_EQ(f.log.back(), "launch C:\\App\\Main.exe") << "the host comes back in every case";
  }
}

TEST_F(StartUp, TheHostStartsAfterAFailedPassAndOnlyAfterTheMessage) {
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Copy, "", 5});
  EXPECT_EQ(AfxWinMain(fs, {"Update.exe", "-Main.exe"}), 0);
  ASSERT_GE(fs.log.size(), 2u);
  EXPECT_EQ(fs.log[fs.log.size() - 2], std::string("message Update|") + texts::kFailureMessage + "|0x30");
  EXPECT_EQ(fs.log.back(), "launch C:\\App\\Main.exe");
}

TEST_F(StartUp, TheMessageIsCaptionedWithTheExecutableNameWithoutExtension) {
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Copy, "", 5});
  tree.modulePath = "C:\\App\\My.Tool.exe";
  AfxWinMain(fs, {"My.Tool.exe"});
  EXPECT_EQ(fs.log.back().substr(0, 16), "message My.Tool|");
}

TEST_F(StartUp, TheHostNameIsAppendedToTheUpdatersFolderAsItStands) {
  const struct {
    const char* ownPath;
    const char* host;
    const char* launched;
    unsigned codePage = 936;
  } cases[] = {
      {"C:\\App\\Update.exe", "/bin\\Main.exe", "C:\\App\\bin\\Main.exe"},
      {"C:\\App\\Update.exe", "/..\\Other\\Main.exe", "C:\\App\\..\\Other\\Main.exe"},
      {"C:\\App\\Update.exe", "/C:\\Other\\Main.exe", "C:\\App\\C:\\Other\\Main.exe"},
      {"C:\\App\\Update.exe", "/My App.exe", "C:\\App\\My App.exe"},
      {"\\\\server\\share\\App\\Update.exe", "/Main.exe", "\\\\server\\share\\App\\Main.exe"},
      // A folder name whose last byte is a second byte 0x5C is not cut there.
      {"C:\\\x95\x5C\\Update.exe", "/Main.exe", "C:\\\x95\x5C\\Main.exe"},
      // A backslash is a separator where it is a character of its own.
      {"C:\\\x95\\U.exe", "/Main.exe", "C:\\Main.exe", 932},
      {"C:\\\x95\\U.exe", "/Main.exe", "C:\\\x95\\Main.exe", 1252},
      {"C:\\\x95\\U.exe", "/Main.exe", "C:\\\x95\\Main.exe", 65001},
      {"C:\\\x95\\U.exe", "/Main.exe", "C:\\Main.exe", 936},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.launched);
    fs.log.clear();
    tree.codePage = CodePageForTests(c.codePage);
    tree.modulePath = c.ownPath;
    AfxWinMain(fs, {"Update.exe", c.host});
    ASSERT_FALSE(fs.log.empty());
    EXPECT_EQ(fs.log.back(), std::string("launch ") + c.launched);
  }
}

TEST_F(StartUp, ALongOwnPathIsLaunchedFromInFull) {
  // Longer than the 128 bytes a fixed buffer would hold, and with a folder
  // longer than the C runtime's 255-byte components.
  const AnsiString folder = "\\" + AnsiString(200, 'a') + "\\" + AnsiString(54, 'b') + "\\";
  tree.modulePath = folder + "U";
  AfxWinMain(fs, {"U", "/Main.exe"});
  EXPECT_EQ(fs.log.back(), "launch " + folder + "Main.exe");
}

TEST_F(StartUp, AnOwnPathThatCannotBeUsedRunsNoPassButStartsTheHost) {
  for (const AnsiString& own : {AnsiString(), "C:\\" + AnsiString(253, 'x') + ".exe"}) {
    SCOPED_TRACE(own.size());
    fs.log.clear();
    tree.modulePath = own;
    EXPECT_EQ(AfxWinMain(fs, {"Update.exe", "/bin\\Main.exe"}), kExitOwnPathRefused);
    EXPECT_EQ(fs.log, Log{"launch-beside-self bin\\Main.exe"});
    fs.log.clear();
    EXPECT_EQ(AfxWinMain(fs, {"Update.exe", "Main.exe"}), kExitOwnPathRefused);
    EXPECT_TRUE(fs.log.empty()) << "no host named, none started";
  }
  tree.modulePath = "C:\\" + AnsiString(252, 'x') + ".exe";  // 259 bytes: fine
  EXPECT_EQ(AfxWinMain(fs, {"Update.exe"}), 0);

  // A folder that leaves a staged file's path (245 + "SelfTemp\\" + the
  // name) no room, on a system with no shorter form of it: refused the same
  // way, before anything changes. A host's path that long is tried all the
  // same.
  const AnsiString folder = "C:\\" + AnsiString(240, 'f') + "\\";
  tree.AddFolder(folder.substr(0, folder.size() - 1));
  tree.AddFolder(folder + "SelfTemp");
  tree.modulePath = folder + "U.exe";
  const struct {
    const char* staged;
    const char* host;
    bool refused;  // where the system has no short forms
  } rows[] = {
      {"Core.dll", "/Main.exe", true},  // 262 bytes staged, 257 in place
      {"a.dll", "/Application-Host-Program.exe", false},
      {"a.dll", "/Main.exe", false},  // 259 bytes: fits as it stands
  };
  for (const auto& row : rows) {
    for (const bool shortForms : {false, true}) {
      SCOPED_TRACE(std::string(row.staged) + " " + row.host + (shortForms ? " with short forms" : ""));
      fs.log.clear();
      tree.shortForms = shortForms;
      tree.AddFile(folder + "SelfTemp\\" + row.staged, "new");
      const bool refused = row.refused && !shortForms;
      EXPECT_EQ(AfxWinMain(fs, {"U.exe", row.host}), refused ? kExitOwnPathRefused : 0);
      EXPECT_EQ(fs.log.back(), (refused ? "launch-beside-self " : "launch " + folder) + (row.host + 1));
      EXPECT_EQ(tree.Content(folder + row.staged), refused ? "<missing>" : "new");
      (void)tree.RemoveFile(folder + row.staged);
      (void)tree.RemoveFile(folder + "SelfTemp\\" + row.staged);
    }
  }
}

}  // namespace
