#include "tests/fault_injection.h"

#include <cstdio>

namespace {

bool SamePathIgnoringAsciiCase(const AnsiString& a, const AnsiString& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Reads of an open search, each one asked of the rules under the pattern.
class FaultInjectingListing : public DirectoryListing {
 public:
  FaultInjectingListing(FaultInjectingServices* os, AnsiString pattern,
                        std::unique_ptr<DirectoryListing> inner)
      : os_(os), pattern_(std::move(pattern)), inner_(std::move(inner)) {}
  bool Next(FindEntry* entry) override {
    if (os_->Take(FaultRule::Op::Next, pattern_) != nullptr) return false;
    return inner_->Next(entry);
  }

 private:
  FaultInjectingServices* os_;
  AnsiString pattern_;
  std::unique_ptr<DirectoryListing> inner_;
};

}  // namespace

const FaultRule* FaultInjectingServices::Take(Op op, const AnsiString& a, const AnsiString& b) {
  ++operations_;
  for (FaultRule& rule : rules_) {
    if ((rule.op != Op::Any && rule.op != op) || rule.times == 0) continue;
    if (!rule.path.empty() && !SamePathIgnoringAsciiCase(rule.path, a) &&
        (b.empty() || !SamePathIgnoringAsciiCase(rule.path, b)))
      continue;
    if (rule.skip > 0) {
      --rule.skip;
      continue;
    }
    if (rule.times > 0) --rule.times;
    if (rule.crash) throw FakeCrash();
    return &rule;
  }
  return nullptr;
}

void FaultInjectingServices::Record(const std::string& line, const OpResult& r) {
  log.push_back(r.ok ? line : line + " !" + std::to_string(r.error));
}

AnsiString FaultInjectingServices::ModulePath() {
  return modulePath.empty() ? target().ModulePath() : modulePath;
}

OpResult FaultInjectingServices::OpenSearch(const AnsiString& pattern,
                                            std::unique_ptr<DirectoryListing>* listing) {
  std::unique_ptr<DirectoryListing> inner;
  const FaultRule* rule = Take(Op::Search, pattern);
  const OpResult r = rule != nullptr ? OpResult::Failure(rule->kind, rule->error) : target().OpenSearch(pattern, &inner);
  Record("search " + pattern, r);
  if (r.ok) *listing = std::make_unique<FaultInjectingListing>(this, pattern, std::move(inner));
  return r;
}

OpResult FaultInjectingServices::RemoveFile(const AnsiString& path) {
  const FaultRule* rule = Take(Op::Remove, path);
  const OpResult r = rule != nullptr ? OpResult::Failure(rule->kind, rule->error) : target().RemoveFile(path);
  Record("remove " + path, r);
  return r;
}

OpResult FaultInjectingServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  const FaultRule* rule = Take(Op::Rename, from, to);
  const OpResult r = rule != nullptr ? OpResult::Failure(rule->kind, rule->error) : target().RenameFile(from, to);
  Record("rename " + from + " -> " + to, r);
  return r;
}

OpResult FaultInjectingServices::CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) {
  const FaultRule* rule = Take(Op::Copy, from, to);
  OpResult r;
  if (rule == nullptr) {
    r = target().CopyFileOver(from, to, replaced);
  } else {
    if (rule->partial && leavePartialCopy) leavePartialCopy(from, to);
    r = OpResult::Failure(rule->kind, rule->error);
  }
  Record("copy " + from + " -> " + to, r);
  return r;
}

OpResult FaultInjectingServices::LockApplicationFolder(const AnsiString& folder) {
  const FaultRule* rule = Take(Op::Lock, folder);
  const OpResult r =
      rule != nullptr ? OpResult::Failure(rule->kind, rule->error) : target().LockApplicationFolder(folder);
  Record("lock " + folder, r);
  return r;
}

OpResult FaultInjectingServices::FlushFolder(const AnsiString& folder) {
  const FaultRule* rule = Take(Op::Flush, folder);
  const OpResult r = rule != nullptr ? OpResult::Failure(rule->kind, rule->error) : target().FlushFolder(folder);
  Record("flush " + folder, r);
  return r;
}

void FaultInjectingServices::RemoveLeftTemporaries(const AnsiString& folder) {
  // A crash rule may stop the run here; a failure has nothing to report.
  Take(Op::Clear, folder);
  log.push_back("clear " + folder);
  target().RemoveLeftTemporaries(folder);
}

int FaultInjectingServices::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", type);
  log.push_back("message " + caption + "|" + text + "|" + hex);
  return kIdOk;
}

OpResult FaultInjectingServices::ShellOpen(const AnsiString& path) {
  log.push_back("launch " + path);
  return OpResult::Success();
}

void FaultInjectingServices::LaunchBesideSelf(const AnsiString& name) {
  log.push_back("launch-beside-self " + name);
}
