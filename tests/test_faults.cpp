// The update pass under every fault and crash the double can inject: each
// operation failing in turn, once or from then on, and the process stopping
// before each operation and then running again. Whatever happens, no version
// of any file may be lost and no file in place may be partial.
#include <gtest/gtest.h>

#include <cstdio>

#include "res/texts.h"
#include "tests/fake_platform.h"

namespace {

const AnsiString kApp = "C:\\App\\";
const AnsiString kStage = "C:\\App\\SelfTemp\\";
const std::string kMessagePrefix = "message ";

struct Totals {
  int faults = 0;
  int crashes = 0;
} totals;

std::string OldOf(int i) { return "old version of file " + std::to_string(i) + " (long enough to cut)"; }
std::string NewOf(int i) { return "new version of file " + std::to_string(i) + " (long enough to cut)"; }
AnsiString Name(int i) { return "F" + std::to_string(i) + (i % 2 ? ".exe" : ".dll"); }

// An application folder with `files` staged files, each with an old version
// in place, and a host program to start again.
void Populate(FakePlatform* fs, int files) {
  fs->AddFolder("C:\\App");
  fs->AddFolder("C:\\App\\SelfTemp");
  for (int i = 0; i < files; ++i) {
    fs->AddFile(kApp + Name(i), OldOf(i));
    fs->AddFile(kStage + Name(i), NewOf(i));
  }
}

int RunUpdater(FakePlatform* fs) {
  SetPlatformServices(fs);
  const int rc = AfxWinMain({"Update.exe", "/Host.exe"});
  SetPlatformServices(nullptr);
  return rc;
}

int Count(const std::vector<std::string>& log, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : log) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

// What must hold for file i after any run, however it ended.
void ExpectNothingLost(FakePlatform& fs, int i) {
  SCOPED_TRACE(Name(i));
  const std::string inPlace = fs.Content(kApp + Name(i));
  const std::string backup = fs.Content(kApp + Name(i) + ".Old");
  const std::string staged = fs.Content(kStage + Name(i));
  EXPECT_TRUE(inPlace == OldOf(i) || inPlace == NewOf(i) || inPlace == "<missing>")
      << "partial file in place: " << inPlace;
  EXPECT_TRUE(inPlace == NewOf(i) || staged == NewOf(i)) << "new version lost";
  EXPECT_TRUE(inPlace == NewOf(i) || inPlace == OldOf(i) || backup == OldOf(i)) << "old version lost";
}

TEST(Faults, EachOperationFailingInTurnLosesNothingAndReportsOnlyCopies) {
  for (int files = 1; files <= 3; ++files) {
    FakePlatform clean;
    Populate(&clean, files);
    RunUpdater(&clean);
    const int operations = clean.operations();
    for (int n = 1; n <= operations; ++n) {
      for (int mode = 0; mode < 3; ++mode) {
        const bool fromThenOn = mode == 1, partial = mode == 2;
        SCOPED_TRACE("files " + std::to_string(files) + ", operation " + std::to_string(n) +
                     (fromThenOn ? ", from then on" : partial ? ", partial copy" : ", once"));
        FakePlatform fs;
        Populate(&fs, files);
        fs.FailOperation(n, 5, fromThenOn, partial);
        ++totals.faults;
        EXPECT_EQ(RunUpdater(&fs), 0);

        // The message appears once, right after a failed copy, and only then.
        const int messages = Count(fs.log, kMessagePrefix);
        int firstFailedCopy = -1;
        for (std::size_t k = 0; k < fs.log.size(); ++k)
          if (fs.log[k].compare(0, 5, "copy ") == 0 && fs.log[k].find(" !") != std::string::npos) {
            firstFailedCopy = static_cast<int>(k);
            break;
          }
        EXPECT_EQ(messages, firstFailedCopy >= 0 ? 1 : 0);
        if (firstFailedCopy >= 0) {
          // Nothing but the roll-back, the message and the relaunch follows.
          for (std::size_t k = firstFailedCopy + 1; k + 1 < fs.log.size(); ++k)
            EXPECT_TRUE(fs.log[k].compare(0, 7, "remove ") == 0 || fs.log[k].compare(0, 7, "rename ") == 0 ||
                        fs.log[k].compare(0, kMessagePrefix.size(), kMessagePrefix) == 0)
                << fs.log[k];
        }
        EXPECT_EQ(fs.log.back(), "launch C:\\App\\Host.exe");

        for (int i = 0; i < files; ++i) {
          // Partial copies that cannot even be cleaned up are the one way a
          // broken file can stay; with a single fault they never do.
          if (!(partial && fromThenOn)) ExpectNothingLost(fs, i);
        }
      }
    }
  }
}

TEST(Faults, StoppingBeforeAnyOperationAndRunningAgainCompletesTheUpdate) {
  for (int files = 1; files <= 3; ++files) {
    FakePlatform clean;
    Populate(&clean, files);
    RunUpdater(&clean);
    for (int n = 1; n <= clean.operations(); ++n) {
      SCOPED_TRACE("files " + std::to_string(files) + ", stopped before operation " + std::to_string(n));
      FakePlatform fs;
      Populate(&fs, files);
      fs.CrashAtOperation(n);
      ++totals.crashes;
      EXPECT_THROW(RunUpdater(&fs), FakeCrash);
      for (int i = 0; i < files; ++i) ExpectNothingLost(fs, i);

      // Which files the stopped run had already put in place. The run after
      // it applies those again and so backs up the new version.
      std::vector<bool> applied;
      for (int i = 0; i < files; ++i) applied.push_back(fs.Content(kApp + Name(i)) == NewOf(i));

      fs.ClearFaults();
      fs.log.clear();
      EXPECT_EQ(RunUpdater(&fs), 0);
      EXPECT_EQ(Count(fs.log, kMessagePrefix), 0);
      for (int i = 0; i < files; ++i) {
        SCOPED_TRACE(Name(i));
        EXPECT_EQ(fs.Content(kApp + Name(i)), NewOf(i));
        EXPECT_FALSE(fs.Exists(kStage + Name(i)));
        if (!applied[i]) {
          EXPECT_EQ(fs.Content(kApp + Name(i) + ".Old"), OldOf(i));
        }
      }
    }
  }
}

// The figures, for the record: how much was injected.
class Report : public ::testing::Environment {
 public:
  void TearDown() override {
    if (totals.faults + totals.crashes > 0)
      std::printf("fault injection: %d faults and %d crash points injected\n", totals.faults, totals.crashes);
  }
};
const ::testing::Environment* const kReport = ::testing::AddGlobalTestEnvironment(new Report);

}  // namespace
