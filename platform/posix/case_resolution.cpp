#include "platform/posix/case_resolution.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ansi_text.h"
#include "platform/posix/encoding.h"
#include "platform/posix/path_translation.h"

namespace posix {
namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// A folder the process may pass through but not read (execute permission
// only, as home folders often are) still serves for operations by name; it
// just cannot be listed, so no other letter case is ever proposed in it.
int OpenFolderAt(int parent, const char* path) {
  const int fd = openat(parent, path, kOpenFolder);
  if (fd >= 0 || errno != EACCES) return fd;
  return openat(parent, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The key a native name is grouped by; false for a name the logic cannot
// hold or that equals nothing, which no other name can stand for.
bool KeyOf(const std::string& name, std::string* key) {
  // A name of ASCII only is its own logic form, and its key is its bytes
  // folded one by one: no byte of it can start a two-byte character.
  static const auto& lower = LogicCodePage().singleByteLower;
  // Copied, then folded in place through locals: a store through a char
  // pointer could otherwise change the name for all the compiler knows,
  // which would reload it at every byte.
  key->assign(name);
  const std::size_t size = key->size();
  char* const out = &(*key)[0];
  std::size_t i = 0;
  for (; i < size; ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c >= 0x80) break;
    if (c == '\\') return false;
    out[i] = static_cast<char>(lower[c]);
  }
  if (i == size) return true;
  // Beyond ASCII, letters of every script match as Windows matches them, not
  // only those code page 936 has both cases of.
  std::string logic;
  return LogicNameFromNative(name, &logic) && UnicodeCaseKey(name, key);
}

// Every name in the folder open as `folderFd` but "." and "..", through a
// descriptor of its own, so the reading's position never disturbs the one
// the operations use. Nothing when the folder cannot be read.
std::vector<std::string> ReadNames(int folderFd) {
  std::vector<std::string> names;
  const int fd = openat(folderFd, ".", kOpenFolder);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return names;
  }
  while (const dirent* e = readdir(dir))
    if (!IsDotOrDotDot(e->d_name)) names.emplace_back(e->d_name);
  closedir(dir);
  return names;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

Folder::Folder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  struct stat st;
  if (fstat(fd_, &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    if (st.st_mode & S_ISGID) inheritedGroup_ = st.st_gid;
  }
}

Folder::~Folder() { close(fd_); }

void Folder::List(bool (*keep)(const std::string&), std::vector<std::string>* kept) {
  listed_ = true;
  std::vector<std::string> names = ReadNames(fd_);
  // Room for the names found and as many again, which a pass adds as
  // backups: the table is then never rebuilt while it fills.
  groups_.Reserve(2 * names.size());
  for (std::string& name : names) {
    Add(name);
    if (keep != nullptr && keep(name)) kept->push_back(std::move(name));
  }
  std::string key;
  for (const std::string& gone : removedUnread_) {
    if (!KeyOf(gone, &key)) continue;
    Group* const group = groups_.Find(key);
    // Gone with nothing of its case left, or there again: nothing to keep.
    if (group == nullptr || group->twinned || group->only.empty() || group->only == gone) continue;
    group->twinned = true;
    group->only.clear();
  }
  removedUnread_.clear();
  removedUnread_.shrink_to_fit();
}

void Folder::Add(const std::string& name) {
  std::string key;
  if (!KeyOf(name, &key)) return;
  Group& group = groups_.Insert(key);
  if (group.twinned || group.only == name) return;
  if (group.only.empty()) {
    group.only = name;
    return;
  }
  group.twinned = true;
  group.only.clear();
}

void Folder::Groups::Reserve(std::size_t count) {
  groups_.reserve(count);
  std::size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  if (slots > slots_.size()) Grow(slots);
}

Folder::Groups::Slot* Folder::Groups::Probe(const std::string& key, std::size_t hash) {
  const std::size_t mask = slots_.size() - 1;
  const auto fingerprint = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.index == 0) return &slot;
    if (slot.fingerprint == fingerprint && groups_[slot.index - 1].key == key) return &slot;
  }
}

Folder::Group* Folder::Groups::Find(const std::string& key) {
  for (const Recent& recent : recent_)
    if (!recent.key.empty() && recent.key == key) return recent.index == 0 ? nullptr : &groups_[recent.index - 1];
  if (slots_.empty()) return nullptr;
  const Slot* const slot = Probe(key, std::hash<std::string>()(key));
  Remember(key, slot->index);
  return slot->index == 0 ? nullptr : &groups_[slot->index - 1];
}

Folder::Group& Folder::Groups::Insert(const std::string& key) {
  for (const Recent& recent : recent_)
    if (recent.index != 0 && !recent.key.empty() && recent.key == key) return groups_[recent.index - 1];
  if (2 * (groups_.size() + 1) > slots_.size()) Grow(slots_.empty() ? 16 : 2 * slots_.size());
  const std::size_t hash = std::hash<std::string>()(key);
  Slot* const slot = Probe(key, hash);
  if (slot->index == 0) {
    groups_.push_back(Group{key, std::string(), false});
    *slot = {static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(groups_.size())};
  }
  // Also replaces an answer of "none" remembered for the key.
  for (Recent& recent : recent_) {
    if (recent.key != key) continue;
    recent.key.clear();
    recent.index = 0;
  }
  Remember(key, slot->index);
  return groups_[slot->index - 1];
}

void Folder::Groups::Remember(const std::string& key, std::uint32_t index) {
  Recent& recent = recent_[nextRecent_];
  nextRecent_ = (nextRecent_ + 1) % 2;
  recent.key = key;
  recent.index = index;
}

void Folder::Groups::Grow(std::size_t slots) {
  slots_.assign(slots, Slot());
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    const std::size_t hash = std::hash<std::string>()(groups_[i].key);
    *Probe(groups_[i].key, hash) = {static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(i + 1)};
  }
}

std::shared_ptr<Folder> CaseResolver::OpenFolder(const std::string& native, std::string* resolved) {
  for (const auto& open : open_) {
    if (open.first == native) {
      if (resolved != nullptr) *resolved = open.second->path();
      return open.second;
    }
  }
  std::shared_ptr<Folder> folder;
  std::string found = native;
  int fd = OpenFolderAt(AT_FDCWD, native.empty() ? "." : native.c_str());
  if (fd >= 0) {
    folder = std::make_shared<Folder>(fd, native);
  } else if (errno == ENOENT || errno == ENAMETOOLONG) {
    // Component by component from the root (or the current folder), in a
    // loop: the depth of a path never becomes the depth of a call stack.
    const bool absolute = !native.empty() && native[0] == '/';
    fd = OpenFolderAt(AT_FDCWD, absolute ? "/" : ".");
    if (fd < 0) return nullptr;
    folder = std::make_shared<Folder>(fd, absolute ? "/" : "");
    found = folder->path();
    std::size_t start = absolute ? 1 : 0;
    while (start < native.size()) {
      std::size_t slash = native.find('/', start);
      if (slash == std::string::npos) slash = native.size();
      std::string component = native.substr(start, slash - start);
      start = slash + 1;
      if (component.empty()) continue;
      int next = OpenFolderAt(folder->fd(), component.c_str());
      if (next < 0 && errno == ENOENT && !IsDotOrDotDot(component)) {
        const std::string other = OtherName(*folder, component);
        if (!other.empty()) {
          next = OpenFolderAt(folder->fd(), other.c_str());
          if (next >= 0) component = other;
        }
      }
      if (next < 0) {
        const int err = errno;
        if (resolved != nullptr)
          *resolved = Join(found, component) + (start < native.size() ? "/" + native.substr(start) : "");
        errno = err;
        return nullptr;
      }
      found = Join(found, component);
      folder = std::make_shared<Folder>(next, found);
    }
  } else {
    if (resolved != nullptr) *resolved = native;
    return nullptr;
  }
  if (resolved != nullptr) *resolved = found;
  if (open_.size() >= kMaxOpenFolders) open_.erase(open_.begin());
  open_.emplace_back(native, folder);
  return folder;
}

std::string CaseResolver::OtherName(Folder& folder, const std::string& name) {
  if (IsDotOrDotDot(name)) return std::string();
  if (!folder.listed_) folder.List(nullptr, nullptr);
  std::string key;
  if (!KeyOf(name, &key)) return std::string();
  const Folder::Group* const group = folder.groups_.Find(key);
  if (group == nullptr || group->twinned || group->only.empty() || group->only == name) return std::string();
  std::string other = group->only;
  // A name made from a twin's by one more extension (its backup, say) may
  // belong to either twin, so only its exact spelling is used.
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0 && KeyOf(name.substr(0, dot), &key)) {
    const Folder::Group* const base = folder.groups_.Find(key);
    if (base != nullptr && base->twinned) return std::string();
  }
  return other;
}

void CaseResolver::Created(Folder& folder, const std::string& name) {
  // Before the reading there is nothing to keep current: it will see the
  // name if it is still there.
  if (folder.listed_) folder.Add(name);
}

void CaseResolver::Removed(Folder& folder, const std::string& name) {
  if (!folder.listed_) {
    folder.removedUnread_.push_back(name);
    return;
  }
  std::string key;
  if (!KeyOf(name, &key)) return;
  Folder::Group* const group = folder.groups_.Find(key);
  // A twinned group keeps its mark: a twin this run saw stays protected.
  if (group != nullptr && group->only == name) group->only.clear();
}

std::vector<std::string> CaseResolver::Read(Folder& folder, bool (*keep)(const std::string&)) {
  std::vector<std::string> kept;
  if (!folder.listed_) {
    folder.List(keep, &kept);
    return kept;
  }
  for (std::string& name : ReadNames(folder.fd()))
    if (keep(name)) kept.push_back(std::move(name));
  return kept;
}

std::string CaseResolver::Resolve(const std::string& native) {
  const std::size_t slash = native.find_last_of('/');
  if (slash == std::string::npos && native.empty()) return native;
  const std::string folderPath =
      slash == std::string::npos ? std::string() : slash == 0 ? "/" : native.substr(0, slash);
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  std::string found;
  const std::shared_ptr<Folder> folder = OpenFolder(folderPath, &found);
  const std::string prefix = slash == std::string::npos ? std::string() : found == "/" ? "/" : found + "/";
  if (folder == nullptr || name.empty() || IsDotOrDotDot(name)) return prefix + name;
  struct stat st;
  if (fstatat(folder->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return prefix + name;
  const std::string other = OtherName(*folder, name);
  return prefix + (other.empty() ? name : other);
}

}  // namespace posix
