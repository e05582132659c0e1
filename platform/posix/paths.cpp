#include "platform/posix/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ansi_text.h"
#include "platform/posix/encoding.h"

namespace posix {

bool LogicNameFromNative(const std::string& nativeName, std::string* logicName) {
  // A backslash inside a POSIX name would split it in two for the logic.
  if (nativeName.find('\\') != std::string::npos) return false;
  return Utf8ToAnsi(nativeName, logicName);
}

bool LogicFromNative(const std::string& native, std::string* logic) {
  if (IsAscii(native.data(), native.size())) {
    if (native.find('\\') != std::string::npos) return false;
    *logic = native;
    std::replace(logic->begin(), logic->end(), '/', '\\');
    return true;
  }
  logic->clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = native.find('/', start);
    const std::string component = native.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    std::string converted;
    if (!component.empty() && !LogicNameFromNative(component, &converted)) return false;
    logic->append(converted);
    if (slash == std::string::npos) return true;
    logic->push_back('\\');
    start = slash + 1;
  }
}

bool NativeFromLogic(const std::string& logic, std::string* native) {
  const char* s = logic.c_str();
  // The logic's strings end at their first NUL.
  const std::size_t size = std::strlen(s);
  if (IsAscii(s, size)) {
    native->assign(s, size);
    std::replace(native->begin(), native->end(), '\\', '/');
    return true;
  }
  native->clear();
  const CodePage& cp = ActiveCodePage();
  std::string component;
  auto flush = [&]() {
    std::string utf8;
    if (!AnsiToUtf8(component, &utf8)) return false;
    native->append(utf8);
    component.clear();
    return true;
  };
  for (std::size_t i = 0, n; (n = CharLength(cp, s + i)) != 0; i += n) {
    if (n == 1 && (s[i] == '\\' || s[i] == '/')) {
      if (!flush()) return false;
      native->push_back('/');
    } else {
      component.append(s + i, n);
    }
  }
  return flush();
}

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// The value a name compares as under EqualsNoCase, as bytes: each character
// becomes its mapped value in two bytes, so two names have the same key
// exactly when EqualsNoCase finds them equal. False for a name that equals
// nothing (a two-byte character that cannot be mapped).
bool FoldedKey(const CodePage& cp, const std::string& logicName, std::string* key) {
  key->clear();
  key->reserve(2 * logicName.size());
  const auto* s = reinterpret_cast<const unsigned char*>(logicName.c_str());
  for (;;) {
    unsigned value = 0;
    if (s[0] == 0) return true;
    if (cp.multiByte && cp.IsLeadByte(s[0])) {
      if (s[1] == 0) return true;  // a lead byte before the end counts as the end
      if (!cp.doubleByteUpper || !cp.doubleByteUpper(s[0], s[1], &value)) return false;
      s += 2;
    } else {
      value = cp.singleByteLower[s[0]];
      s += 1;
    }
    key->push_back(static_cast<char>((value >> 8) & 0xFF));
    key->push_back(static_cast<char>(value & 0xFF));
  }
}

// The key of a native entry name; false when the logic cannot hold the name
// or it equals nothing.
bool KeyOfNative(const CodePage& cp, const std::string& nativeName, std::string* key) {
  if (IsAscii(nativeName.data(), nativeName.size()))
    return nativeName.find('\\') == std::string::npos && FoldedKey(cp, nativeName, key);
  std::string logicName;
  return LogicNameFromNative(nativeName, &logicName) && FoldedKey(cp, logicName, key);
}

// The smallest entry name of `folder` equal to `name` without regard to case,
// or empty when there is none, from one reading of the folder.
std::string ListForMatch(const std::string& folder, const std::string& name) {
  std::string logicName;
  if (!Utf8ToAnsi(name, &logicName)) return std::string();
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return std::string();
  const CodePage& cp = ActiveCodePage();
  std::string best, logicEntry;
  while (const dirent* e = readdir(dir.get())) {
    if (!LogicNameFromNative(e->d_name, &logicEntry)) continue;
    if (EqualsNoCase(cp, logicEntry, logicName) && (best.empty() || e->d_name < best)) best = e->d_name;
  }
  return best;
}

// File systems whose every change to a folder, whoever makes it, is reported
// to an inotify watch on it. Network and user-space file systems (NFS, SMB,
// FUSE, 9p) can change underneath without a report, and so can an overlay
// through its layers; their folders are read afresh for every lookup.
bool ReportsAllChanges(int dirFd) {
  struct statfs fs;
  if (fstatfs(dirFd, &fs) != 0) return false;
  switch (static_cast<std::uint32_t>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
      return true;
    default:
      return false;
  }
}

// The case-insensitive lookups of one process. Without help every lookup of
// a name that does not exist exactly reads the whole folder, and an update
// pass makes a few such lookups per file in the same folder. So a folder
// looked into again gets an index of its names by folded key, read once, kept
// current by an inotify watch: the kernel queues a report of every entry
// created, removed or renamed in it, by this process or any other, before
// the call that made the change returns, and every lookup applies the queued
// reports first. A lookup therefore answers as a fresh reading of the folder
// would. Whatever the index cannot vouch for (no inotify, a full report
// queue, an unsuitable file system, a path that now names another folder) is
// answered by reading the folder.
class CaseLookup {
 public:
  CaseLookup() { pthread_atfork(nullptr, nullptr, [] { forked_ = true; }); }
  ~CaseLookup() {
    if (inotify_ >= 0) close(inotify_);
  }

  // The smallest entry name of `folder`, whose stat() is `st`, that equals
  // `name` without regard to case; empty when there is none.
  std::string Find(const std::string& folder, const struct stat& st, const std::string& name) {
    Index* index = IndexFor(folder, st);
    if (index == nullptr) return ListForMatch(folder, name);
    std::string logicName, key;
    if (!Utf8ToAnsi(name, &logicName) || !FoldedKey(ActiveCodePage(), logicName, &key))
      return std::string();
    const auto it = index->names.find(key);
    if (it == index->names.end()) return std::string();
    return *std::min_element(it->second.begin(), it->second.end());
  }

 private:
  // Entry names of one folder by folded key.
  struct Index {
    int watch = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::unordered_map<std::string, std::vector<std::string>> names;

    void Add(const CodePage& cp, const std::string& name) {
      std::string key;
      if (name == "." || name == ".." || !KeyOfNative(cp, name, &key)) return;
      std::vector<std::string>& same = names[key];
      if (std::find(same.begin(), same.end(), name) == same.end()) same.push_back(name);
    }
    void Remove(const CodePage& cp, const std::string& name) {
      std::string key;
      if (!KeyOfNative(cp, name, &key)) return;
      const auto it = names.find(key);
      if (it == names.end()) return;
      it->second.erase(std::remove(it->second.begin(), it->second.end(), name), it->second.end());
      if (it->second.empty()) names.erase(it);
    }
  };

  // A folder is indexed on its second lookup: a run that looks into a folder
  // only once (the start-up's search for the staging folder) reads it once
  // and sets up nothing, since an inotify instance costs more to make and to
  // tear down than one reading of a small folder. The limits bound the
  // watches and memory of a process that looks into many folders; beyond
  // them folders are read for every lookup.
  static constexpr std::size_t kMaxIndexes = 16;
  static constexpr std::size_t kMaxFolders = 64;

  struct Folder {
    dev_t dev;
    ino_t ino;
    bool refused;  // cannot be indexed (see ReportsAllChanges); always read
  };

  Index* IndexFor(const std::string& folder, const struct stat& st) {
    if (forked_) {
      // A forked child shares the report queue with its parent; reading it
      // would take the parent's reports. The child starts afresh.
      forked_ = false;
      indexes_.clear();
      if (inotify_ >= 0) close(inotify_);
      inotify_ = -1;
    }
    if (!Drain()) DropAll();
    for (Index& index : indexes_)
      if (index.dev == st.st_dev && index.ino == st.st_ino) return &index;
    Folder* known = nullptr;
    for (Folder& f : folders_)
      if (f.dev == st.st_dev && f.ino == st.st_ino) known = &f;
    if (known == nullptr) {
      if (folders_.size() < kMaxFolders) folders_.push_back({st.st_dev, st.st_ino, false});
      return nullptr;
    }
    if (known->refused || indexes_.size() >= kMaxIndexes) return nullptr;
    Index* index = Build(folder, st);
    if (index == nullptr) known->refused = true;
    return index;
  }

  Index* Build(const std::string& folder, const struct stat& st) {
    if (inotify_ < 0) {
      inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (inotify_ < 0) return nullptr;
    }
    // The watch goes on the very folder that is then read (through its open
    // descriptor, not its path, which could change meanwhile) and is set
    // before the reading, so every change the reading may have missed is
    // reported afterwards.
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
        !ReportsAllChanges(fd)) {
      close(fd);
      return nullptr;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int watch = inotify_add_watch(inotify_, self.c_str(),
                                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                            IN_DELETE_SELF | IN_ONLYDIR);
    std::unique_ptr<DIR, DirCloser> dir(watch >= 0 ? fdopendir(fd) : nullptr);
    if (!dir) {
      close(fd);
      if (watch >= 0) inotify_rm_watch(inotify_, watch);
      return nullptr;
    }
    Index index;
    index.watch = watch;
    index.dev = st.st_dev;
    index.ino = st.st_ino;
    const CodePage& cp = ActiveCodePage();
    errno = 0;
    while (const dirent* e = readdir(dir.get())) index.Add(cp, e->d_name);
    if (errno != 0) {
      inotify_rm_watch(inotify_, watch);
      return nullptr;
    }
    indexes_.push_back(std::move(index));
    // Reports queued while the folder was read are applied now; whatever the
    // reading saw of a name, the last report about it gives its state.
    if (!Drain()) {
      DropAll();
      return nullptr;
    }
    return ByWatch(watch);
  }

  // Applies every queued report. False when reports were lost.
  bool Drain() {
    if (inotify_ < 0) return true;
    const CodePage& cp = ActiveCodePage();
    for (;;) {
      const ssize_t n = read(inotify_, buffer_, sizeof buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == EAGAIN;
      if (n == 0) return false;
      // A read returns every queued report that fits; with room left for
      // one of the largest, the queue was empty.
      const bool emptied = sizeof buffer_ - static_cast<std::size_t>(n) >= kLargestReport;
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer_ + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) return false;
        Index* index = ByWatch(ev->wd);
        if (index == nullptr) continue;
        if (ev->mask & IN_IGNORED) {
          // The folder is gone, or its file system was unmounted.
          indexes_.erase(indexes_.begin() + (index - indexes_.data()));
          continue;
        }
        if (ev->len == 0) continue;
        const std::string name(ev->name);
        if (ev->mask & (IN_CREATE | IN_MOVED_TO)) index->Add(cp, name);
        if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) index->Remove(cp, name);
      }
      if (emptied) return true;
    }
  }

  Index* ByWatch(int watch) {
    for (Index& index : indexes_)
      if (index.watch == watch) return &index;
    return nullptr;
  }

  // Forgets every index after lost reports; they are built again on demand.
  void DropAll() {
    for (const Index& index : indexes_) inotify_rm_watch(inotify_, index.watch);
    indexes_.clear();
    close(inotify_);
    inotify_ = -1;
  }

  static constexpr std::size_t kLargestReport = sizeof(inotify_event) + NAME_MAX + 1;

  static inline bool forked_ = false;
  int inotify_ = -1;
  std::vector<Index> indexes_;
  std::vector<Folder> folders_;
  alignas(inotify_event) char buffer_[16 * 1024];
};

CaseLookup& Lookup() {
  static CaseLookup lookup;
  return lookup;
}

}  // namespace

std::string ResolveCase(const std::string& native) {
  struct stat st;
  if (native.empty() || lstat(native.c_str(), &st) == 0) return native;
  const std::size_t slash = native.find_last_of('/');
  const std::string parentGiven = slash == std::string::npos ? std::string() : native.substr(0, slash);
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  // The folder as the system is asked about it: the root and a relative start
  // always exist as given.
  const bool rooted = slash == 0 || parentGiven.empty();
  const std::string folderGiven = slash == 0 ? "/" : parentGiven.empty() ? "." : parentGiven;
  struct stat folderStat;
  std::string parent = parentGiven;
  bool folderOk = stat(folderGiven.c_str(), &folderStat) == 0;
  if (!folderOk && !rooted) {
    parent = ResolveCase(parentGiven);
    folderOk = stat(parent.c_str(), &folderStat) == 0;
  }
  const std::string prefix = slash == std::string::npos ? std::string() : parent + "/";
  if (name.empty() || name == "." || name == ".." || !folderOk || !S_ISDIR(folderStat.st_mode))
    return prefix + name;
  const std::string folder = slash == 0 ? "/" : parent.empty() ? "." : parent;
  const std::string match = Lookup().Find(folder, folderStat, name);
  return prefix + (match.empty() ? name : match);
}

bool ResolveLogic(const std::string& logic, std::string* native) {
  std::string exact;
  if (!NativeFromLogic(logic, &exact)) return false;
  *native = ResolveCase(exact);
  return true;
}

}  // namespace posix
