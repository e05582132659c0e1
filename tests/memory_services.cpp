#include "tests/memory_services.h"

#include <algorithm>
#include <cstdlib>

#include "tests/contract_env.h"

namespace {

// Windows' codes, with the kinds Windows' services give them.
const OpResult kFileNotFound = OpResult::Failure(ErrorKind::kNotFound, 2);
const OpResult kPathNotFound = OpResult::Failure(ErrorKind::kNotFound, 3);
const OpResult kIsFolder = OpResult::Failure(ErrorKind::kIsFolder, 5);
const OpResult kAlreadyExists = OpResult::Failure(ErrorKind::kAlreadyExists, 183);

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


class MemoryListing : public DirectoryListing {
 public:
  explicit MemoryListing(std::vector<FindEntry> entries) : entries_(std::move(entries)) {}
  bool Next(FindEntry* entry) override {
    if (next_ >= entries_.size()) return false;
    *entry = entries_[next_++];
    return true;
  }

 private:
  std::vector<FindEntry> entries_;
  std::size_t next_ = 0;
};

}  // namespace

CodePage CodePageForTests(unsigned number) {
  if (number == 936) return PlatformCodePage();
  if (HasFixedLeadBytes(number))
    return MakeEastAsianCodePage(number, [](unsigned char lead, unsigned char trail, unsigned* mapped) {
      *mapped = (static_cast<unsigned>(lead) << 8) | trail;
      return true;
    });
  return MakeSingleByteCodePage(number);
}

// Separators are found at character boundaries, so a second byte 0x5C in a
// two-byte character is not taken for one.
std::size_t MemoryServices::LastSeparator(const AnsiString& path) const {
  return ReverseFindByte(codePage, path, '\\');
}

AnsiString MemoryServices::ParentOf(const AnsiString& path) const {
  const std::size_t slash = LastSeparator(path);
  return slash == AnsiString::npos ? AnsiString() : path.substr(0, slash);
}

MemoryServices::Node* MemoryServices::Find(const AnsiString& path) {
  for (Node& n : nodes_)
    if (SamePath(n.path, path)) return &n;
  return nullptr;
}

const MemoryServices::Node* MemoryServices::Find(const AnsiString& path) const {
  return const_cast<MemoryServices*>(this)->Find(path);
}

bool MemoryServices::ParentExists(const AnsiString& path) const {
  const AnsiString parent = ParentOf(path);
  if (parent.empty() || parent.back() == ':') return true;  // a drive root
  const Node* n = Find(parent);
  return n != nullptr && n->folder;
}

void MemoryServices::AddFolder(const AnsiString& path) {
  if (Find(path) == nullptr) nodes_.push_back({path, true, {}});
}

void MemoryServices::AddFile(const AnsiString& path, const std::string& content) {
  if (Node* n = Find(path)) {
    n->content = content;
    n->modified = ++clock_;
    return;
  }
  nodes_.push_back({path, false, content, ++clock_});
}

bool MemoryServices::IsFolder(const AnsiString& path) const {
  const Node* n = Find(path);
  return n != nullptr && n->folder;
}

std::string MemoryServices::Content(const AnsiString& path) const {
  const Node* n = Find(path);
  if (n == nullptr) return "<missing>";
  return n->folder ? "<folder>" : n->content;
}

std::vector<AnsiString> MemoryServices::Children(const AnsiString& folder) const {
  std::vector<AnsiString> names;
  for (const Node& n : nodes_)
    if (SamePath(ParentOf(n.path), folder)) names.push_back(n.path.substr(LastSeparator(n.path) + 1));
  return names;
}

void MemoryServices::LeavePartialCopy(const AnsiString& from, const AnsiString& to) {
  const Node* src = Find(from);
  const Node* dst = Find(to);
  if (src == nullptr || src->folder || (dst != nullptr && dst->folder)) return;
  AddFile(to, src->content.substr(0, src->content.size() / 2));
}


AnsiString MemoryServices::ModulePath() { return modulePath; }

OpResult MemoryServices::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  const std::size_t slash = LastSeparator(pattern);
  const AnsiString folder = slash == AnsiString::npos ? AnsiString() : pattern.substr(0, slash);
  const AnsiString wildcard = pattern.substr(slash + 1);
  if (!IsFolder(folder)) return kPathNotFound;
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
  *listing = std::make_unique<MemoryListing>(std::move(entries));
  return OpResult::Success();
}

bool MemoryServices::PathExists(const AnsiString& path, PathStatus* status) {
  const Node* n = Find(path);
  if (status != nullptr) {
    *status = PathStatus();
    if (n != nullptr && !n->folder) *status = {true, n->content.size(), n->modified, Permissions()};
  }
  return n != nullptr;
}

bool MemoryServices::SameContent(const AnsiString& a, const AnsiString& b) {
  const Node* x = Find(a);
  const Node* y = Find(b);
  return x != nullptr && y != nullptr && !x->folder && !y->folder && x->content == y->content;
}

OpResult MemoryServices::RemoveFile(const AnsiString& path) {
  Node* n = Find(path);
  if (n == nullptr) return ParentExists(path) ? kFileNotFound : kPathNotFound;
  if (n->folder) return kIsFolder;
  nodes_.erase(nodes_.begin() + (n - nodes_.data()));
  return OpResult::Success();
}

OpResult MemoryServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  Node* n = Find(from);
  if (n == nullptr) return ParentExists(from) ? kFileNotFound : kPathNotFound;
  if (Find(to) != nullptr && Find(to) != n) return kAlreadyExists;
  if (!ParentExists(to)) return kPathNotFound;
  // A folder takes everything inside it along.
  const std::string oldFolded = Fold(n->path);
  for (Node& m : nodes_)
    if (Fold(m.path).compare(0, oldFolded.size() + 1, oldFolded + "\\") == 0)
      m.path = to + m.path.substr(oldFolded.size());
  n->path = to;
  return OpResult::Success();
}

OpResult MemoryServices::CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions) {
  const Node* src = Find(from);
  Node* dst = Find(to);
  if (src == nullptr) return ParentExists(from) ? kFileNotFound : kPathNotFound;
  if (src->folder || (dst != nullptr && dst->folder)) return kIsFolder;
  if (!ParentExists(to)) return kPathNotFound;
  if (dst != nullptr) {
    dst->content = src->content;  // keeps the existing name, as Windows does
    dst->modified = ++clock_;
  } else {
    const std::string content = src->content;
    nodes_.push_back({to, false, content, ++clock_});
  }
  return OpResult::Success();
}

OpResult MemoryServices::LockApplicationFolder(const AnsiString& folder) {
  return IsFolder(folder) ? OpResult::Success() : kPathNotFound;
}

void MemoryServices::RemoveLeftTemporaries(const AnsiString&) {}

int MemoryServices::ShowMessage(const AnsiString&, const AnsiString&, unsigned) { return kIdOk; }

void MemoryServices::Pause(unsigned) {}

OpResult MemoryServices::ShellOpen(const AnsiString&) { return OpResult::Success(); }

void MemoryServices::LaunchBesideSelf(const AnsiString&) {}


void MemoryServices::ReportStartupRefusal(const char*) {}

OpResult MemoryServices::FlushFolder(const AnsiString& folder) {
  return IsFolder(folder.substr(0, folder.size() - 1)) ? OpResult::Success() : kPathNotFound;
}


// ------------------------------------------------------------ contract env

namespace {

class MemoryEnv : public ContractEnv {
 public:
  MemoryEnv() { fs_.AddFolder("C:\\T"); }
  PlatformServices& Services() override { return fs_; }
  AnsiString Root() override { return "C:\\T\\"; }
  void MakeFolder(const AnsiString& rel) override { fs_.AddFolder(Root() + rel); }
  void WriteFile(const AnsiString& rel, const std::string& content) override {
    fs_.AddFile(Root() + rel, content);
  }
  bool ReadFile(const AnsiString& rel, std::string* content) override {
    if (!fs_.PathExists(Root() + rel) || fs_.IsFolder(Root() + rel)) return false;
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
  MemoryServices fs_;
};

}  // namespace

std::unique_ptr<ContractEnv> MakeFakeEnv() { return std::make_unique<MemoryEnv>(); }
