// What the update logic relies on from the platform services, checked on the
// in-memory double and on the real platform in a temporary folder alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/contract_env.h"

namespace {

using Factory = std::function<std::unique_ptr<ContractEnv>()>;

class Contract : public ::testing::TestWithParam<Factory> {
 protected:
  void SetUp() override {
    env = GetParam()();
    root = env->Root();
  }
  void TearDown() override { env.reset(); }
  PlatformServices& os() { return env->Services(); }
  std::string Read(const AnsiString& rel) {
    std::string s;
    return env->ReadFile(rel, &s) ? s : "<none>";
  }

  std::unique_ptr<ContractEnv> env;
  AnsiString root;
};

TEST_P(Contract, RemoveTakesFilesOnlyAndReportsWhatIsMissing) {
  env->WriteFile("a.exe", "a");
  env->MakeFolder("dir");
  EXPECT_TRUE(os().RemoveFile(root + "a.exe").ok);
  EXPECT_EQ(Read("a.exe"), "<none>");

  const OpResult missing = os().RemoveFile(root + "a.exe");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.kind, ErrorKind::kNotFound);
  EXPECT_NE(missing.error, 0u);

  EXPECT_EQ(os().RemoveFile(root + "dir").kind, ErrorKind::kIsFolder);
  EXPECT_TRUE(env->IsFolder("dir"));
}

TEST_P(Contract, RenameNeverReplacesAndFindsNamesWhateverTheirCase) {
  env->WriteFile("Main.exe", "old");
  env->WriteFile("Main.exe.Old", "older");
  const OpResult onto = os().RenameFile(root + "Main.exe", root + "Main.exe.Old");
  EXPECT_FALSE(onto.ok);
  EXPECT_EQ(onto.kind, ErrorKind::kAlreadyExists);
  EXPECT_NE(onto.error, 0u);
  EXPECT_EQ(Read("Main.exe"), "old");
  EXPECT_EQ(Read("Main.exe.Old"), "older");

  EXPECT_TRUE(os().RemoveFile(root + "MAIN.EXE.OLD").ok);
  EXPECT_TRUE(os().RenameFile(root + "MAIN.EXE", root + "Main.exe.Old").ok);
  EXPECT_EQ(Read("Main.exe.Old"), "old");
  EXPECT_EQ(env->List(""), (std::vector<AnsiString>{"Main.exe.Old"}));

  EXPECT_EQ(os().RenameFile(root + "missing", root + "other").kind, ErrorKind::kNotFound);
  EXPECT_FALSE(os().RenameFile(root + "Main.exe.Old", root + "no\\such\\folder").ok);
  EXPECT_EQ(Read("Main.exe.Old"), "old");
}

TEST_P(Contract, RenameMovesFolders) {
  // Not named like a program: renaming a folder from a program's name to
  // another, Wine takes the folder's execute bits away, which locks an
  // unprivileged owner out of it (Windows has no such bits to lose).
  env->MakeFolder("Tools");
  env->WriteFile("Tools\\inner", "x");
  EXPECT_TRUE(os().RenameFile(root + "Tools", root + "Tools.Old").ok);
  EXPECT_EQ(Read("Tools.Old\\inner"), "x");
}

TEST_P(Contract, CopyCreatesOrReplacesAndFailsWithoutHarm) {
  env->WriteFile("src.exe", "new content");
  env->WriteFile("dst.exe", "old");
  env->MakeFolder("dir.exe");

  EXPECT_TRUE(os().CopyFileOver(root + "src.exe", root + "fresh.exe", {}).ok);
  EXPECT_EQ(Read("fresh.exe"), "new content");

  // How a later run knows a staged copy it finds was applied already: the
  // file in place holds its bytes and is no older than it.
  env->WriteFile("twin.exe", "new_content");
  PathStatus staged, copied, folder;
  ASSERT_TRUE(os().PathExists(root + "src.exe", &staged));
  ASSERT_TRUE(os().PathExists(root + "FRESH.EXE", &copied));
  EXPECT_TRUE(staged.regular && copied.regular);
  EXPECT_EQ(copied.size, 11u);
  EXPECT_GE(copied.modified, staged.modified);
  EXPECT_TRUE(os().SameContent(root + "src.exe", root + "FRESH.EXE"));
  EXPECT_FALSE(os().SameContent(root + "src.exe", root + "twin.exe"));
  EXPECT_FALSE(os().SameContent(root + "src.exe", root + "dst.exe"));
  EXPECT_FALSE(os().SameContent(root + "src.exe", root + "dir.exe"));
  EXPECT_FALSE(os().SameContent(root + "src.exe", root + "missing.exe"));
  ASSERT_TRUE(os().PathExists(root + "dir.exe", &folder));
  EXPECT_FALSE(folder.regular);
  EXPECT_TRUE(os().RemoveFile(root + "twin.exe").ok);
  EXPECT_TRUE(os().CopyFileOver(root + "src.exe", root + "dst.exe", {}).ok);
  EXPECT_EQ(Read("dst.exe"), "new content");
  EXPECT_EQ(Read("src.exe"), "new content");

  EXPECT_EQ(os().CopyFileOver(root + "missing.exe", root + "dst2.exe", {}).kind, ErrorKind::kNotFound);
  EXPECT_EQ(Read("dst2.exe"), "<none>");
  EXPECT_EQ(os().CopyFileOver(root + "src.exe", root + "dir.exe", {}).kind, ErrorKind::kIsFolder);
  EXPECT_TRUE(env->IsFolder("dir.exe"));
  EXPECT_EQ(os().CopyFileOver(root + "src.exe", root + "nowhere\\x.exe", {}).kind, ErrorKind::kNotFound);

  // Nothing but the files themselves is left behind.
  EXPECT_EQ(env->List(""), (std::vector<AnsiString>{"dir.exe", "dst.exe", "fresh.exe", "src.exe"}));
}

TEST_P(Contract, CopyReplacesAFileNamedInAnotherCase) {
  env->WriteFile("src", "new");
  env->WriteFile("main.exe", "old");
  EXPECT_TRUE(os().CopyFileOver(root + "src", root + "MAIN.EXE", {}).ok);
  std::string content;
  EXPECT_TRUE(env->ReadFile("main.exe", &content) || env->ReadFile("MAIN.EXE", &content));
  EXPECT_EQ(content, "new");
  EXPECT_EQ(env->List("").size(), 2u) << "no second file beside the replaced one";
}

TEST_P(Contract, FinderListsEveryEntryOnceMarkingFolders) {
  env->MakeFolder("Stage");
  env->WriteFile("Stage\\A.exe", "a");
  env->WriteFile("Stage\\NoDot", "n");
  env->WriteFile("Stage\\\xB0\xB2\xD7\xB0.EXE", "i");
  env->WriteFile("Stage\\\x95\x5C.dll", "t");  // second byte 0x5C
  env->MakeFolder("Stage\\Sub");
  env->WriteFile("Stage\\Sub\\Inner.exe", "x");

  CFileFind finder(os());
  ASSERT_TRUE(finder.FindFile(root + "stage\\*.*")) << "the folder is found whatever its case";
  std::vector<AnsiString> files, folders;
  for (bool more = true; more;) {
    more = finder.FindNext();
    (finder.IsDirectory() ? folders : files).push_back(finder.GetFileName());
  }
  finder.Close();
  EXPECT_TRUE(finder.GetFileName().empty());
  EXPECT_FALSE(finder.IsDirectory());
  EXPECT_FALSE(finder.FindNext());

  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(files, (std::vector<AnsiString>{"A.exe", "NoDot", "\x95\x5C.dll", "\xB0\xB2\xD7\xB0.EXE"}));
  folders.erase(std::remove_if(folders.begin(), folders.end(),
                               [](const AnsiString& n) { return n == "." || n == ".."; }),
                folders.end());
  EXPECT_EQ(folders, (std::vector<AnsiString>{"Sub"}));

  // The listed name reaches the same file again.
  std::string content;
  EXPECT_TRUE(os().CopyFileOver(root + "Stage\\\x95\x5C.dll", root + "copy.dll", {}).ok);
  EXPECT_EQ(Read("copy.dll"), "t");
}

TEST_P(Contract, FinderReportsNothingForAMissingFolder) {
  CFileFind finder(os());
  EXPECT_FALSE(finder.FindFile(root + "Missing\\*.*"));
  EXPECT_FALSE(finder.FindNext());
  EXPECT_TRUE(finder.GetFileName().empty());
}

TEST_P(Contract, AFolderOfSubfoldersYieldsOnlyFolders) {
  env->MakeFolder("Only");
  env->MakeFolder("Only\\One");
  env->MakeFolder("Only\\Two");
  CFileFind finder(os());
  ASSERT_TRUE(finder.FindFile(root + "Only\\*.*"));
  int entries = 0;
  for (bool more = true; more; ++entries) {
    more = finder.FindNext();
    EXPECT_TRUE(finder.IsDirectory()) << finder.GetFileName();
  }
  EXPECT_GE(entries, 2);
}

std::string Named(const ::testing::TestParamInfo<Factory>&) { return "Folder"; }
INSTANTIATE_TEST_SUITE_P(Double, Contract, ::testing::Values(Factory(MakeFakeEnv)), Named);
INSTANTIATE_TEST_SUITE_P(Real, Contract, ::testing::Values(Factory(MakeRealEnv)), Named);

}  // namespace
