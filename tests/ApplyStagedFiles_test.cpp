// The update pass against the in-memory double: exact operation order, the
// names it applies, backups, and what happens when a copy fails.
#include <gtest/gtest.h>

#include "res/texts.h"
#include "tests/fault_injection.h"
#include "tests/memory_services.h"
#include "update/ApplyStagedFiles.h"

namespace {

using Log = std::vector<std::string>;

const std::string kMessage = std::string("message Update|") + texts::kFailureMessage + "|0x30";

class UpdatePass : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.leavePartialCopy = [this](const AnsiString& from, const AnsiString& to) {
      tree.LeavePartialCopy(from, to);
    };
    tree.AddFolder("C:\\App");
    tree.AddFolder("C:\\App\\SelfTemp");
    tree.AddFile("C:\\App\\Update.exe", "updater");
  }
  // Runs the updater's whole start-up with no host program, so the pass
  // sees the display name and code page it would see for real. The lock and
  // the clearing of leftovers open every run; the log keeps what follows.
  void Run() {
    const auto start = static_cast<std::ptrdiff_t>(fs.log.size());
    EXPECT_EQ(AfxWinMain(fs, {"Update.exe"}), 0);
    ASSERT_GE(fs.log.size(), static_cast<std::size_t>(start) + 2);
    const auto opening = fs.log.begin() + start;
    EXPECT_EQ(Log(opening, opening + 2), (Log{"lock C:\\App\\", "clear C:\\App\\"}));
    fs.log.erase(opening, opening + 2);
  }
  std::string App(const std::string& name) const { return tree.Content("C:\\App\\" + name); }
  std::string Staged(const std::string& name) const { return tree.Content("C:\\App\\SelfTemp\\" + name); }

  MemoryServices tree;
  FaultInjectingServices fs{tree};
};

TEST_F(UpdatePass, TypicalRunBacksUpReplacesAndClearsEachStagedFile) {
  tree.AddFile("C:\\App\\Main.exe", "old main");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new main");
  tree.AddFile("C:\\App\\SelfTemp\\Core.dll", "new core");
  Run();
  EXPECT_EQ(fs.log, (Log{
                        "search C:\\App\\SelfTemp\\*.*",
                        "rename C:\\App\\Main.exe -> C:\\App\\Main.exe.Old",
                        "copy C:\\App\\SelfTemp\\Main.exe -> C:\\App\\Main.exe",
                        "remove C:\\App\\SelfTemp\\Main.exe",
                        "copy C:\\App\\SelfTemp\\Core.dll -> C:\\App\\Core.dll",
                        "remove C:\\App\\SelfTemp\\Core.dll",
                        "flush C:\\App\\SelfTemp\\",
                    }));
  EXPECT_EQ(App("Main.exe"), "new main");
  EXPECT_EQ(App("Main.exe.Old"), "old main");
  EXPECT_EQ(App("Core.dll"), "new core");
  EXPECT_FALSE(tree.PathExists("C:\\App\\Core.dll.Old"));
  EXPECT_TRUE(tree.Children("C:\\App\\SelfTemp").empty());
  EXPECT_TRUE(tree.IsFolder("C:\\App\\SelfTemp")) << "the staging folder itself stays";
}

TEST_F(UpdatePass, AppliesOnlyNamesWhosePartAfterTheFirstDotIsExeOrDll) {
  const struct {
    const char* name;
    bool applied;
    unsigned codePage = 936;
  } cases[] = {
      {"App.exe", true},
      {"lib.DLL", true},
      {"x.ExE", true},
      {".exe", true},
      {"App.exe.config", false},
      {"a.b.exe", false},
      {"Readme.txt", false},
      {"NoDot", false},
      {"exe", false},
      {"App.exe ", false},
      {"\xB0\xB2\xD7\xB0.eXe", false},  // the staged installer, in any letter case
      {"\xB0\xB2.exe", true},                  // only the whole installer name is kept back
      {"x.\xA3\xE5\xA3\xF8\xA3\xE5", false},  // full-width letters are not "exe"
      {"\xB3\xCC\xD0\xF2.dll", true},
      // Shift-JIS: a second byte may be a backslash or a letter, never a dot.
      {"\x95\x5C.exe", true, 932},
      {"\x83\x65.dll", true, 932},
      {"x.\x82\x85\x82\x98\x82\x85", false, 932},  // full-width "exe"
      {"Big.EXE", true, 932},
      // Single-byte code pages fold only A-Z.
      {"\xC9t\xE9.Exe", true, 1252},
      {"x.\xC9XE", false, 1252},
      {"\xC3\xA9.dll", true, 65001},
      {"a.\xEF\xBD\x85xe", false, 65001},
  };
  for (const unsigned codePage : {936u, 932u, 1252u, 65001u}) {
    SCOPED_TRACE(codePage);
    tree.codePage = CodePageForTests(codePage);
    for (const auto& c : cases)
      if (c.codePage == codePage) tree.AddFile(std::string("C:\\App\\SelfTemp\\") + c.name, c.name);
    Run();
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.applied) {
      EXPECT_EQ(App(c.name), c.name);
      EXPECT_FALSE(tree.PathExists(std::string("C:\\App\\SelfTemp\\") + c.name));
    } else {
      EXPECT_EQ(Staged(c.name), c.name);
      EXPECT_FALSE(tree.PathExists(std::string("C:\\App\\") + c.name));
    }
  }
}

TEST_F(UpdatePass, SubfoldersAreNeitherAppliedNorSearched) {
  tree.AddFolder("C:\\App\\SelfTemp\\Tools.exe");
  tree.AddFile("C:\\App\\SelfTemp\\Tools.exe\\Inner.exe", "inner");
  Run();
  EXPECT_EQ(fs.log, (Log{"search C:\\App\\SelfTemp\\*.*"}));
  EXPECT_EQ(Staged("Tools.exe\\Inner.exe"), "inner");
}

TEST_F(UpdatePass, NoOrEmptyStagingFolderDoesNothingAndShowsNothing) {
  Run();
  EXPECT_EQ(fs.log, (Log{"search C:\\App\\SelfTemp\\*.*"}));
  MemoryServices bareTree;
  FaultInjectingServices bare{bareTree};
  bareTree.AddFolder("C:\\App");
  ApplyStagedFiles(bare);
  EXPECT_EQ(bare.log, (Log{"search C:\\App\\SelfTemp\\*.* !3"}));
}

TEST_F(UpdatePass, AnOlderBackupGivesWayToTheVersionInPlace) {
  tree.AddFile("C:\\App\\Main.exe", "v2");
  tree.AddFile("C:\\App\\Main.exe.Old", "v1");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "v3");
  Run();
  EXPECT_EQ(App("Main.exe"), "v3");
  EXPECT_EQ(App("Main.exe.Old"), "v2");
}

TEST_F(UpdatePass, ABackupThatCannotBeDeletedMakesTheCopyOverwriteInPlace) {
  tree.AddFile("C:\\App\\Main.exe", "v2");
  tree.AddFile("C:\\App\\Main.exe.Old", "v1");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "v3");
  fs.Add({FaultRule::Op::Remove, "C:\\App\\Main.exe.Old", 32});
  Run();
  EXPECT_EQ(fs.log[1], "rename C:\\App\\Main.exe -> C:\\App\\Main.exe.Old !183");
  EXPECT_EQ(fs.log[2], "remove C:\\App\\Main.exe.Old !32");
  EXPECT_EQ(App("Main.exe"), "v3");
  EXPECT_EQ(App("Main.exe.Old"), "v1");
  EXPECT_FALSE(tree.PathExists("C:\\App\\SelfTemp\\Main.exe"));
}

TEST_F(UpdatePass, AFailedCopyRestoresTheBackupShowsOneMessageAndStops) {
  tree.AddFile("C:\\App\\A.exe", "old a");
  tree.AddFile("C:\\App\\B.exe", "old b");
  tree.AddFile("C:\\App\\C.exe", "old c");
  tree.AddFile("C:\\App\\SelfTemp\\A.exe", "new a");
  tree.AddFile("C:\\App\\SelfTemp\\B.exe", "new b");
  tree.AddFile("C:\\App\\SelfTemp\\C.exe", "new c");
  fs.Add({FaultRule::Op::Copy, "C:\\App\\B.exe", 112});
  Run();
  const Log tail(fs.log.begin() + 4, fs.log.end());
  EXPECT_EQ(tail, (Log{
                      "rename C:\\App\\B.exe -> C:\\App\\B.exe.Old",
                      "copy C:\\App\\SelfTemp\\B.exe -> C:\\App\\B.exe !112",
                      "remove C:\\App\\B.exe !2",
                      "rename C:\\App\\B.exe.Old -> C:\\App\\B.exe",
                      "flush C:\\App\\SelfTemp\\",  // A.exe's removal, before the wait
                      kMessage,
                  }));
  // Earlier files stay applied, the failed one is as before, later ones are
  // not looked at.
  EXPECT_EQ(App("A.exe"), "new a");
  EXPECT_EQ(App("A.exe.Old"), "old a");
  EXPECT_EQ(App("B.exe"), "old b");
  EXPECT_FALSE(tree.PathExists("C:\\App\\B.exe.Old"));
  EXPECT_EQ(Staged("B.exe"), "new b");
  EXPECT_EQ(App("C.exe"), "old c");
  EXPECT_EQ(Staged("C.exe"), "new c");
}

TEST_F(UpdatePass, ACopyThatBreaksMidwayLeavesTheOldVersionInPlace) {
  tree.AddFile("C:\\App\\Main.exe", "old main");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new main");
  fs.Add({FaultRule::Op::Copy, "C:\\App\\Main.exe", 112, -1, 0, /*partial=*/true});
  Run();
  EXPECT_EQ(App("Main.exe"), "old main");
  EXPECT_FALSE(tree.PathExists("C:\\App\\Main.exe.Old"));
  EXPECT_EQ(Staged("Main.exe"), "new main");
  EXPECT_EQ(fs.log.back(), kMessage);
}

TEST_F(UpdatePass, AFailedCopyOverAnUnmovedFileKeepsThatFile) {
  // The backup could not be cleared, so the old version never moved: what is
  // at the target path may be it and must not be deleted.
  tree.AddFile("C:\\App\\Main.exe", "v2");
  tree.AddFile("C:\\App\\Main.exe.Old", "v1");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "v3");
  fs.Add({FaultRule::Op::Remove, "C:\\App\\Main.exe.Old", 32});
  fs.Add({FaultRule::Op::Copy, "C:\\App\\Main.exe", 32});
  Run();
  EXPECT_EQ(fs.log, (Log{
                        "search C:\\App\\SelfTemp\\*.*",
                        "rename C:\\App\\Main.exe -> C:\\App\\Main.exe.Old !183",
                        "remove C:\\App\\Main.exe.Old !32",
                        "copy C:\\App\\SelfTemp\\Main.exe -> C:\\App\\Main.exe !32",
                        "rename C:\\App\\Main.exe.Old -> C:\\App\\Main.exe !183",
                        kMessage,
                    }));
  EXPECT_EQ(App("Main.exe"), "v2");
  EXPECT_EQ(App("Main.exe.Old"), "v1");
}

TEST_F(UpdatePass, ABackupWithNothingInPlaceIsTheOldVersionAndIsKept) {
  // An earlier run stopped after moving Main.exe to its backup name. If this
  // run's copy fails as well, the old version must still be there.
  tree.AddFile("C:\\App\\Main.exe.Old", "old");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Copy, "", 112});
  Run();
  EXPECT_EQ(fs.log, (Log{
                        "search C:\\App\\SelfTemp\\*.*",
                        "copy C:\\App\\SelfTemp\\Main.exe -> C:\\App\\Main.exe !112",
                        "rename C:\\App\\Main.exe.Old -> C:\\App\\Main.exe",
                        kMessage,
                    }));
  EXPECT_EQ(App("Main.exe"), "old");
  EXPECT_EQ(Staged("Main.exe"), "new");
}

TEST_F(UpdatePass, StagedFileWithNothingInPlaceIsCreatedWithoutBackup) {
  tree.AddFile("C:\\App\\SelfTemp\\New.dll", "new");
  Run();
  EXPECT_EQ(App("New.dll"), "new");
  EXPECT_FALSE(tree.PathExists("C:\\App\\New.dll.Old"));
}

TEST_F(UpdatePass, AStagedCopyThatCannotBeDeletedIsOnlyRemovedByTheNextRun) {
  tree.AddFile("C:\\App\\Main.exe", "old");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Remove, "C:\\App\\SelfTemp\\Main.exe", 5});
  Run();
  EXPECT_EQ(App("Main.exe"), "new");
  EXPECT_EQ(Staged("Main.exe"), "new");
  EXPECT_EQ(fs.log.back(), "remove C:\\App\\SelfTemp\\Main.exe !5");

  // Applying it again would put the new version in the backup's place.
  fs.ClearFaults();
  fs.log.clear();
  Run();
  EXPECT_EQ(fs.log, (Log{"search C:\\App\\SelfTemp\\*.*", "rename C:\\App\\Main.exe -> C:\\App\\Main.exe.Old !183",
                         "remove C:\\App\\SelfTemp\\Main.exe", "flush C:\\App\\SelfTemp\\"}));
  EXPECT_EQ(App("Main.exe.Old"), "old");
  EXPECT_TRUE(tree.Children("C:\\App\\SelfTemp").empty());
}

TEST_F(UpdatePass, FailuresWithoutAnErrorCodeAreNotTreatedAsErrors) {
  tree.AddFile("C:\\App\\Main.exe", "old");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Rename, "C:\\App\\Main.exe", 0, 1});
  Run();  // nothing shown
  EXPECT_EQ(App("Main.exe"), "new");
  EXPECT_EQ(fs.log.size(), 5u);
}

TEST_F(UpdatePass, ARenameThatFailsWithoutACodeThenAFailedCopyKeepsTheFileInPlace) {
  // Nothing is raised for the failed rename, so only what is on disk can tell
  // that the file in place never moved: it is the old version, not a leftover.
  tree.AddFile("C:\\App\\Main.exe", "old");
  tree.AddFile("C:\\App\\SelfTemp\\Main.exe", "new");
  fs.Add({FaultRule::Op::Rename, "C:\\App\\Main.exe", 0, 1});
  fs.Add({FaultRule::Op::Copy, "", 112});
  Run();
  EXPECT_EQ(fs.log, (Log{
                        "search C:\\App\\SelfTemp\\*.*",
                        "rename C:\\App\\Main.exe -> C:\\App\\Main.exe.Old !0",
                        "copy C:\\App\\SelfTemp\\Main.exe -> C:\\App\\Main.exe !112",
                        "rename C:\\App\\Main.exe.Old -> C:\\App\\Main.exe !2",
                        kMessage,
                    }));
  EXPECT_EQ(App("Main.exe"), "old");
  EXPECT_EQ(Staged("Main.exe"), "new");
}

TEST_F(UpdatePass, AFailedAdvanceEndsThePassAfterTheEntryInHand) {
  tree.AddFile("C:\\App\\SelfTemp\\A.exe", "a");
  tree.AddFile("C:\\App\\SelfTemp\\B.exe", "b");
  // Reads: ".", "..", A.exe, then reading ahead past A.exe fails.
  fs.Add({FaultRule::Op::Next, "C:\\App\\SelfTemp\\*.*", /*error=*/0, -1, /*skip=*/3});
  Run();
  EXPECT_EQ(App("A.exe"), "a");
  EXPECT_EQ(Staged("B.exe"), "b");
}

TEST_F(UpdatePass, SearchPatternLengthLimit) {
  // The application folder plus "SelfTemp\*.*" must stay under 260 bytes.
  for (std::size_t folderLength : {247u, 248u}) {
    SCOPED_TRACE(folderLength);
    MemoryServices longTree;
    FaultInjectingServices longFs{longTree};
    const AnsiString folder = "C:\\" + AnsiString(folderLength - 4, 'f') + "\\";
    ASSERT_EQ(folder.size(), folderLength);
    longTree.AddFolder(folder.substr(0, folder.size() - 1));
    longTree.AddFolder(folder + "SelfTemp");
    longTree.AddFile(folder + "SelfTemp\\Main.exe", "new");
    longTree.modulePath = folder + "U.exe";
    EXPECT_EQ(AfxWinMain(longFs, {"U.exe"}), 0);
    if (folderLength == 247) {
      EXPECT_EQ(longTree.Content(folder + "Main.exe"), "new");
    } else {
      EXPECT_EQ(longFs.log, (Log{"lock " + folder, "clear " + folder}))
          << "the search must not touch the file system";
      EXPECT_EQ(longTree.Content(folder + "SelfTemp\\Main.exe"), "new");
    }
  }
}

TEST_F(UpdatePass, TargetKeepsTheStagedNameAsListed) {
  tree.AddFile("C:\\App\\main.exe", "old");
  tree.AddFile("C:\\App\\SelfTemp\\MAIN.EXE", "new");
  Run();
  EXPECT_EQ(fs.log[1], "rename C:\\App\\MAIN.EXE -> C:\\App\\MAIN.EXE.Old");
  EXPECT_EQ(App("main.exe"), "new");
  EXPECT_EQ(App("main.exe.old"), "old");
}

}  // namespace
