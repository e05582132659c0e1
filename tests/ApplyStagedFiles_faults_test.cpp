// The update pass under every fault and crash the wrapper can inject: each
// operation failing in turn, once or from then on, with an error code or
// without one, and the process stopping before each operation and then
// running again. Whatever happens, no version of any file may be lost and no
// file in place may be partial. Run on the in-memory double and on the real
// platform in a temporary folder alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "res/texts.h"
#include "tests/contract_env.h"
#include "tests/fault_injection.h"

namespace {

const AnsiString kApp = "App\\";
const AnsiString kStage = "App\\SelfTemp\\";
const std::string kMessagePrefix = "message ";

struct Totals {
  int faults = 0;
  int crashes = 0;
} totals;

std::string OldOf(int i) { return "old version of file " + std::to_string(i) + " (long enough to cut)"; }
std::string NewOf(int i) { return "new version of file " + std::to_string(i) + " (long enough to cut)"; }
AnsiString Name(int i) { return "F" + std::to_string(i) + (i % 2 ? ".exe" : ".dll"); }

// One run's world: a fresh folder of the environment under test, with
// `files` staged files, each with an old version in place, seen through the
// fault injector.
class Setting {
 public:
  Setting(const std::function<std::unique_ptr<ContractEnv>()>& factory, int files)
      : env_(factory()), os(env_->Services()) {
    env_->MakeFolder("App");
    env_->MakeFolder("App\\SelfTemp");
    for (int i = 0; i < files; ++i) {
      env_->WriteFile(kApp + Name(i), OldOf(i));
      env_->WriteFile(kStage + Name(i), NewOf(i));
    }
    os.modulePath = env_->Root() + kApp + "Update.exe";
    os.leavePartialCopy = [this](const AnsiString& from, const AnsiString& to) {
      const std::string content = Content(Relative(from));
      if (content != kMissing) env_->WriteFile(Relative(to), content.substr(0, content.size() / 2));
    };
  }

  int RunUpdater() { return AfxWinMain(os, {"Update.exe", "/Host.exe"}); }

  // The content of a file relative to the root; kMissing when there is none.
  std::string Content(const AnsiString& rel) {
    std::string s;
    return env_->ReadFile(rel, &s) ? s : kMissing;
  }
  AnsiString Launched() { return "launch " + env_->Root() + kApp + "Host.exe"; }

  static constexpr const char* kMissing = "<missing>";

 private:
  AnsiString Relative(const AnsiString& path) { return path.substr(env_->Root().size()); }

  std::unique_ptr<ContractEnv> env_;

 public:
  FaultInjectingServices os;
};

int Count(const std::vector<std::string>& log, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : log) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

// What must hold for file i after any run, however it ended.
void ExpectNothingLost(Setting& s, int i) {
  SCOPED_TRACE(Name(i));
  const std::string inPlace = s.Content(kApp + Name(i));
  const std::string backup = s.Content(kApp + Name(i) + ".Old");
  const std::string staged = s.Content(kStage + Name(i));
  EXPECT_TRUE(inPlace == OldOf(i) || inPlace == NewOf(i) || inPlace == Setting::kMissing)
      << "partial file in place: " << inPlace;
  EXPECT_TRUE(inPlace == NewOf(i) || staged == NewOf(i)) << "new version lost";
  EXPECT_TRUE(inPlace == NewOf(i) || inPlace == OldOf(i) || backup == OldOf(i)) << "old version lost";
}

using Factory = std::function<std::unique_ptr<ContractEnv>()>;
class Faults : public ::testing::TestWithParam<Factory> {};

TEST_P(Faults, EachOperationFailingInTurnLosesNothingAndReportsOnlyCopies) {
  for (int files = 1; files <= 3; ++files) {
    Setting clean(GetParam(), files);
    clean.RunUpdater();
    const int operations = clean.os.operations();
    for (int n = 1; n <= operations; ++n) {
      // Once, from then on, or as a copy that breaks midway; each with an
      // error code and without one, which raises nothing, so the pass must
      // tell from the disk what happened.
      for (int variant = 0; variant < 6; ++variant) {
        const int mode = variant % 3;
        const unsigned long code = variant < 3 ? 5 : 0;
        const bool fromThenOn = mode == 1, partial = mode == 2;
        SCOPED_TRACE("files " + std::to_string(files) + ", operation " + std::to_string(n) +
                     (fromThenOn ? ", from then on" : partial ? ", partial copy" : ", once") +
                     ", code " + std::to_string(code));
        Setting s(GetParam(), files);
        FaultInjectingServices& fs = s.os;
        fs.Add({FaultRule::Op::Any, "", code, fromThenOn ? -1 : 1, n - 1, partial});
        ++totals.faults;
        EXPECT_EQ(s.RunUpdater(), 0);

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
          // Nothing but the roll-back, the flush of the removals before it,
          // the message and the relaunch follows.
          for (std::size_t k = firstFailedCopy + 1; k + 1 < fs.log.size(); ++k)
            EXPECT_TRUE(fs.log[k].compare(0, 7, "remove ") == 0 || fs.log[k].compare(0, 7, "rename ") == 0 ||
                        fs.log[k].compare(0, 6, "flush ") == 0 ||
                        fs.log[k].compare(0, kMessagePrefix.size(), kMessagePrefix) == 0)
                << fs.log[k];
        }
        EXPECT_EQ(fs.log.back(), s.Launched());

        for (int i = 0; i < files; ++i) {
          // Partial copies that cannot even be cleaned up are the one way a
          // broken file can stay; with a single fault they never do.
          if (!(partial && fromThenOn)) ExpectNothingLost(s, i);
        }
      }
    }
  }
}

TEST_P(Faults, StoppingBeforeAnyOperationAndRunningAgainCompletesTheUpdate) {
  for (int files = 1; files <= 3; ++files) {
    Setting clean(GetParam(), files);
    clean.RunUpdater();
    for (int n = 1; n <= clean.os.operations(); ++n) {
      SCOPED_TRACE("files " + std::to_string(files) + ", stopped before operation " + std::to_string(n));
      Setting s(GetParam(), files);
      FaultInjectingServices& fs = s.os;
      fs.Add({FaultRule::Op::Any, "", 0, 1, n - 1, false, /*crash=*/true});
      ++totals.crashes;
      EXPECT_THROW(s.RunUpdater(), FakeCrash);
      for (int i = 0; i < files; ++i) ExpectNothingLost(s, i);

      // Which files the stopped run had already put in place. The run after
      // it applies those again and so backs up the new version.
      std::vector<bool> applied;
      for (int i = 0; i < files; ++i) applied.push_back(s.Content(kApp + Name(i)) == NewOf(i));

      fs.ClearFaults();
      fs.log.clear();
      EXPECT_EQ(s.RunUpdater(), 0);
      EXPECT_EQ(Count(fs.log, kMessagePrefix), 0);
      for (int i = 0; i < files; ++i) {
        SCOPED_TRACE(Name(i));
        EXPECT_EQ(s.Content(kApp + Name(i)), NewOf(i));
        EXPECT_EQ(s.Content(kStage + Name(i)), Setting::kMissing);
        if (!applied[i]) {
          EXPECT_EQ(s.Content(kApp + Name(i) + ".Old"), OldOf(i));
        }
      }
    }
  }
}

std::string Named(const ::testing::TestParamInfo<Factory>& info) {
  return info.index == 0 ? "Double" : "Real";
}
INSTANTIATE_TEST_SUITE_P(Sweep, Faults, ::testing::Values(Factory(MakeFakeEnv), Factory(MakeRealEnv)), Named);

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
