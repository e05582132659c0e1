#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdio>

#include "tests/contract_env.h"

namespace {

constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kAlreadyExists = 183;

// Windows compares file names without regard to case; ASCII folding is all
// the tests need.
std::string Fold(const AnsiString& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  while (out.size() > 1 && out.back() == '\\') out.pop_back();
  return out;
}

bool SamePath(const AnsiString& a, const AnsiString& b) { return Fold(a) == Fold(b); }

class FakeListing : public DirectoryListing {
 public:
  FakeListing(FakePlatform* fs, AnsiString pattern, std::vector<FindEntry> entries)
      : fs_(fs), pattern_(std::move(pattern)), entries_(std::move(entries)) {}
  bool Next(FindEntry* entry) override;

 private:
  FakePlatform* fs_;
  AnsiString pattern_;
  std::vector<FindEntry> entries_;
  std::size_t next_ = 0;
};

}  // namespace

// Separators are found at character boundaries, so a second byte 0x5C in a
// code page 936 name is not taken for one.
std::size_t LastSeparator(const AnsiString& path) {
  return ReverseFindByte(ActiveCodePage(), path, '\\');
}

AnsiString ParentOf(const AnsiString& path) {
  const std::size_t slash = LastSeparator(path);
  return slash == AnsiString::npos ? AnsiString() : path.substr(0, slash);
}

FakePlatform::FakePlatform() = default;

FakePlatform::Node* FakePlatform::Find(const AnsiString& path) {
  for (Node& n : nodes_)
    if (SamePath(n.path, path)) return &n;
  return nullptr;
}

const FakePlatform::Node* FakePlatform::Find(const AnsiString& path) const {
  return const_cast<FakePlatform*>(this)->Find(path);
}

bool FakePlatform::ParentExists(const AnsiString& path) const {
  const AnsiString parent = ParentOf(path);
  if (parent.empty() || parent.back() == ':') return true;  // a drive root
  const Node* n = Find(parent);
  return n != nullptr && n->folder;
}

void FakePlatform::AddFolder(const AnsiString& path) {
  if (Find(path) == nullptr) nodes_.push_back({path, true, {}});
}

void FakePlatform::AddFile(const AnsiString& path, const std::string& content) {
  if (Node* n = Find(path)) {
    n->content = content;
    return;
  }
  nodes_.push_back({path, false, content});
}


bool FakePlatform::IsFolder(const AnsiString& path) const {
  const Node* n = Find(path);
  return n != nullptr && n->folder;
}

std::string FakePlatform::Content(const AnsiString& path) const {
  const Node* n = Find(path);
  if (n == nullptr) return "<missing>";
  return n->folder ? "<folder>" : n->content;
}

std::vector<AnsiString> FakePlatform::Children(const AnsiString& folder) const {
  std::vector<AnsiString> names;
  for (const Node& n : nodes_)
    if (SamePath(ParentOf(n.path), folder)) names.push_back(n.path.substr(LastSeparator(n.path) + 1));
  return names;
}

void FakePlatform::Fail(Op op, const AnsiString& path, unsigned long error, int times, bool partial) {
  faults_.push_back({op, path, error, times, partial, 0});
}

void FakePlatform::FailAfter(Op op, const AnsiString& path, int skip, unsigned long error) {
  faults_.push_back({op, path, error, -1, false, skip});
}

void FakePlatform::FailOperation(int n, unsigned long error, bool fromThenOn, bool partial) {
  failAt_ = n;
  failFromThenOn_ = fromThenOn;
  nthFault_ = Fault{Op::Search, AnsiString(), error, -1, partial, 0};
}

void FakePlatform::CrashAtOperation(int n) { crashAt_ = n; }

void FakePlatform::ClearFaults() {
  faults_.clear();
  failAt_ = crashAt_ = 0;
}

const FakePlatform::Fault* FakePlatform::TakeFault(Op op, const AnsiString& a, const AnsiString& b) {
  ++operations_;
  if (operations_ == crashAt_) throw FakeCrash();
  if (failAt_ != 0 && (operations_ == failAt_ || (failFromThenOn_ && operations_ > failAt_)))
    return &nthFault_;
  for (Fault& f : faults_) {
    if (f.op != op || f.times == 0) continue;
    if (!f.path.empty() && !SamePath(f.path, a) && (b.empty() || !SamePath(f.path, b))) continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    if (f.times > 0) --f.times;
    return &f;
  }
  return nullptr;
}

void FakePlatform::Record(const std::string& line, const OpResult& r) {
  log.push_back(r.ok ? line : line + " !" + std::to_string(r.error));
}

AnsiString FakePlatform::ModuleFileName() { return modulePath; }

bool FakeListing::Next(FindEntry* entry) {
  if (fs_->TakeFault(FakePlatform::Op::Next, pattern_) != nullptr) return false;
  if (next_ >= entries_.size()) return false;
  *entry = entries_[next_++];
  return true;
}

std::unique_ptr<DirectoryListing> FakePlatform::OpenSearch(const AnsiString& pattern,
                                                          unsigned long* error) {
  const std::size_t slash = LastSeparator(pattern);
  const AnsiString folder = slash == AnsiString::npos ? AnsiString() : pattern.substr(0, slash);
  const AnsiString wildcard = pattern.substr(slash + 1);
  OpResult r;
  if (const Fault* f = TakeFault(Op::Search, pattern)) r = OpResult::Failure(f->error);
  else if (!IsFolder(folder)) r = OpResult::Failure(kPathNotFound);
  Record("search " + pattern, r);
  if (!r.ok) {
    *error = r.error;
    return nullptr;
  }
  // A folder that is not a drive root lists itself and its parent first.
  std::vector<FindEntry> entries;
  const bool all = wildcard == "*.*" || wildcard == "*";
  if (all && folder.find('\\') != AnsiString::npos) {
    entries.push_back({".", kAttributeDirectory});
    entries.push_back({"..", kAttributeDirectory});
  }
  for (const AnsiString& name : Children(folder)) {
    if (!all && Fold(name) != Fold(wildcard)) continue;
    entries.push_back({name, IsFolder(folder + "\\" + name) ? kAttributeDirectory : 0});
  }
  return std::make_unique<FakeListing>(this, pattern, std::move(entries));
}

bool FakePlatform::Exists(const AnsiString& path) { return Find(path) != nullptr; }

OpResult FakePlatform::RemoveFile(const AnsiString& path) {
  OpResult r;
  Node* n = Find(path);
  if (const Fault* f = TakeFault(Op::Remove, path)) r = OpResult::Failure(f->error);
  else if (n == nullptr) r = OpResult::Failure(ParentExists(path) ? kFileNotFound : kPathNotFound);
  else if (n->folder) r = OpResult::Failure(kAccessDenied);
  else nodes_.erase(nodes_.begin() + (n - nodes_.data()));
  Record("remove " + path, r);
  return r;
}

OpResult FakePlatform::RenameFile(const AnsiString& from, const AnsiString& to) {
  OpResult r;
  Node* n = Find(from);
  if (const Fault* f = TakeFault(Op::Rename, from, to)) r = OpResult::Failure(f->error);
  else if (n == nullptr) r = OpResult::Failure(ParentExists(from) ? kFileNotFound : kPathNotFound);
  else if (Find(to) != nullptr && Find(to) != n) r = OpResult::Failure(kAlreadyExists);
  else if (!ParentExists(to)) r = OpResult::Failure(kPathNotFound);
  if (r.ok) {
    // A folder takes everything inside it along.
    const std::string oldFolded = Fold(n->path);
    for (Node& m : nodes_)
      if (Fold(m.path).compare(0, oldFolded.size() + 1, oldFolded + "\\") == 0)
        m.path = to + m.path.substr(oldFolded.size());
    n->path = to;
  }
  Record("rename " + from + " -> " + to, r);
  return r;
}

bool FakePlatform::CopyFileOver(const AnsiString& from, const AnsiString& to) {
  OpResult r;
  const Node* src = Find(from);
  Node* dst = Find(to);
  if (const Fault* f = TakeFault(Op::Copy, from, to)) {
    r = OpResult::Failure(f->error);
    if (f->partial && src != nullptr && !src->folder && (dst == nullptr || !dst->folder)) {
      const std::string cut = src->content.substr(0, src->content.size() / 2);
      if (dst != nullptr) dst->content = cut;
      else nodes_.push_back({to, false, cut});
    }
  } else if (src == nullptr) {
    r = OpResult::Failure(ParentExists(from) ? kFileNotFound : kPathNotFound);
  } else if (src->folder || (dst != nullptr && dst->folder)) {
    r = OpResult::Failure(kAccessDenied);
  } else if (!ParentExists(to)) {
    r = OpResult::Failure(kPathNotFound);
  } else if (dst != nullptr) {
    dst->content = src->content;  // keeps the existing name, as Windows does
  } else {
    const std::string content = src->content;
    nodes_.push_back({to, false, content});
  }
  Record("copy " + from + " -> " + to, r);
  return r.ok;
}

int FakePlatform::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned type) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", type);
  log.push_back("message " + caption + "|" + text + "|" + hex);
  return kIdOk;
}

void FakePlatform::ShellOpen(const AnsiString& path) { log.push_back("launch " + path); }

void FakePlatform::AddErrorMode(unsigned flags) { errorMode |= flags; }

// ------------------------------------------------------------ contract env

namespace {

class FakeEnv : public ContractEnv {
 public:
  FakeEnv() {
    fs_.AddFolder("C:\\T");
  }
  PlatformServices& Services() override { return fs_; }
  AnsiString Root() override { return "C:\\T\\"; }
  void MakeFolder(const AnsiString& rel) override { fs_.AddFolder(Root() + rel); }
  void WriteFile(const AnsiString& rel, const std::string& content) override {
    fs_.AddFile(Root() + rel, content);
  }
  bool ReadFile(const AnsiString& rel, std::string* content) override {
    if (!fs_.Exists(Root() + rel) || fs_.IsFolder(Root() + rel)) return false;
    *content = fs_.Content(Root() + rel);
    return true;
  }
  bool IsFolder(const AnsiString& rel) override { return fs_.IsFolder(Root() + rel); }
  std::vector<AnsiString> List(const AnsiString& rel) override {
    std::vector<AnsiString> names = fs_.Children(rel.empty() ? "C:\\T" : Root() + rel);
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  FakePlatform fs_;
};

}  // namespace

std::unique_ptr<ContractEnv> MakeFakeEnv() { return std::make_unique<FakeEnv>(); }
