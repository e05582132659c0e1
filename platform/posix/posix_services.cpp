#include "platform/posix/posix_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/copy.h"
#include "platform/posix/encoding.h"
#include "platform/posix/path_translation.h"
#include "platform/posix/run_lock.h"

namespace posix {
namespace {

constexpr unsigned long kErrorPathNotTranslatable = EILSEQ;

ErrorKind KindOf(int err) {
  switch (err) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case ENOTDIR:
      return ErrorKind::kNotFolder;
    case ELOOP:
      return ErrorKind::kIsLink;
    case EISDIR:
      return ErrorKind::kIsFolder;
    case ENAMETOOLONG:
      return ErrorKind::kNameTooLong;
    case ENOEXEC:
      return ErrorKind::kNotExecutable;
    case EEXIST:
    case ENOTEMPTY:
      return ErrorKind::kAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ErrorKind::kDiskFull;
    case EWOULDBLOCK:
      return ErrorKind::kBusy;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

OpResult Failure(int err) { return OpResult::Failure(KindOf(err), static_cast<unsigned long>(err)); }

namespace {

OpResult Errno() { return Failure(errno); }

// "*" and "?" with case folded as the logic compares names; "*.*" matches
// every name, as it does on Windows.
bool WildcardMatch(const CodePage& cp, const char* pattern, const char* name) {
  if (pattern[0] == '*' && pattern[1] == '.' && pattern[2] == '*' && pattern[3] == '\0') return true;
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* n = name;; n += CharLength(cp, n)) {
      if (WildcardMatch(cp, pattern + 1, n)) return true;
      if (*n == '\0') return false;
    }
  }
  const std::size_t pn = CharLength(cp, pattern), nn = CharLength(cp, name);
  if (nn == 0) return false;
  if (!(pn == 1 && *pattern == '?') &&
      !EqualsNoCase(cp, AnsiString(pattern, pn), AnsiString(name, nn)))
    return false;
  return WildcardMatch(cp, pattern + pn, name + nn);
}

class PosixListing : public DirectoryListing {
 public:
  PosixListing(DIR* dir, AnsiString wildcard) : dir_(dir), wildcard_(std::move(wildcard)) {}
  ~PosixListing() override { closedir(dir_); }

  bool Next(FindEntry* entry) override {
    const CodePage& cp = LogicCodePage();
    while (const dirent* e = readdir(dir_)) {
      // Names the logic cannot hold are not reported at all: such a file
      // stays where it is, untouched.
      AnsiString name;
      if (!LogicNameFromNative(e->d_name, &name)) continue;
      if (!WildcardMatch(cp, wildcard_.c_str(), name.c_str())) continue;
      entry->name = std::move(name);
      entry->attributes = IsDirectory(e) ? kAttributeDirectory : 0;
      return true;
    }
    return false;
  }

 private:
  bool IsDirectory(const dirent* e) const {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return false;
    // A link to a folder counts as a folder, as on Windows.
    struct stat st;
    return fstatat(dirfd(dir_), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
  }

  DIR* dir_;
  AnsiString wildcard_;
};

bool NameExists(int dirFd, const std::string& name) {
  struct stat st;
  return fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Does `op` (which returns 0 or errno) on `name` in `folder`, and when that
// name is not there (ENOENT), on the other letter case of it that the case
// rules allow. *used gets the name acted on last.
template <typename Op>
int OnNameOrOther(CaseResolver& names, Folder& folder, const std::string& name, std::string* used, Op op) {
  *used = name;
  const int err = op(name);
  if (err != ENOENT) return err;
  std::string other = names.OtherName(folder, name);
  if (other.empty()) return ENOENT;
  *used = std::move(other);
  return op(*used);
}

// renameat() that fails with EEXIST instead of replacing.
int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
  if (renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  // Only a file system that does not know the flag gets the fallback.
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  if (NameExists(toDir, to)) return EEXIST;
  return renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0 ? 0 : errno;
}

// Whether `c` is ASCII and may stand in a single name as it is: no
// separator of either kind, no NUL. By table: every name of a pass goes
// through here byte by byte.
bool IsPlainNameByte(char c) {
  static const struct Table {
    bool plain[256];
    Table() : plain() {
      for (int b = 1; b < 0x80; ++b) plain[b] = b != '\\' && b != '/';
    }
  } table;
  return table.plain[static_cast<unsigned char>(c)];
}

}  // namespace

int PosixServices::Locate(const AnsiString& logic, Place* place) {
  // A pass names thousands of files in the same two or three folders: the
  // folder a path names is found and translated once, and a path that
  // begins with its logic form only has its name translated. The name must
  // stay a single name (no separator in it) for that to hold.
  for (const LocatedFolder& known : located_) {
    const std::size_t n = known.logic.size();
    if (logic.size() <= n || std::memcmp(logic.data(), known.logic.data(), n) != 0) continue;
    // Most names are plain ASCII, their own native form.
    const char* const rest = logic.data() + n;
    const std::size_t length = logic.size() - n;
    std::size_t i = 0;
    while (i < length && IsPlainNameByte(rest[i])) ++i;
    if (i == length) {
      place->name.assign(rest, length);
    } else if (!NativeFromLogic(logic.substr(n), &place->name)) {
      return static_cast<int>(kErrorPathNotTranslatable);
    } else if (place->name.find('/') != std::string::npos) {
      break;
    }
    place->folder = known.folder;
    return 0;
  }
  std::string native;
  if (!NativeFromLogic(logic, &native)) return static_cast<int>(kErrorPathNotTranslatable);
  const std::size_t slash = native.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : slash == 0 ? "/" : native.substr(0, slash);
  place->name = slash == std::string::npos ? native : native.substr(slash + 1);
  place->folder = names_.OpenFolder(folder);
  if (!place->folder) return errno != 0 ? errno : ENOENT;
  Remember(logic, *place);
  return 0;
}

void PosixServices::Remember(const AnsiString& logic, const Place& place) {
  // Only a path of no NUL whose part after its last backslash translates to
  // exactly the name found: then any path with the same part before it
  // names a file of the same folder.
  const std::size_t cut = ReverseFindByte(LogicCodePage(), logic, '\\');
  std::string name;
  if (cut == AnsiString::npos || cut + 1 == logic.size() || logic.find('\0') != AnsiString::npos ||
      !NativeFromLogic(logic.substr(cut + 1), &name) || name != place.name)
    return;
  if (located_.size() >= kLocatedFolders) located_.erase(located_.begin());
  located_.push_back({logic.substr(0, cut + 1), place.folder});
}

OpResult PosixServices::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  const std::size_t slash = ReverseFindByte(LogicCodePage(), pattern, '\\');
  Place place;
  // The wildcard takes the place of a name, so the folder is found as any
  // name's folder is.
  if (const int err = Locate(slash == AnsiString::npos ? AnsiString("*") : pattern.substr(0, slash + 1) + "*",
                             &place))
    return Failure(err);
  // A reading of its own, from the start, whoever read the folder before.
  const int fd = openat(place.folder->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    const OpResult failed = Errno();
    if (fd >= 0) close(fd);
    return failed;
  }
  *listing = std::make_unique<PosixListing>(dir, slash == AnsiString::npos ? pattern : pattern.substr(slash + 1));
  return OpResult::Success();
}

bool PosixServices::PathExists(const AnsiString& path, PathStatus* status) {
  if (status != nullptr) *status = PathStatus();
  Place at;
  if (Locate(path, &at) != 0) return false;
  if (at.name.empty()) return true;
  struct stat st;
  std::string name;
  const int err = OnNameOrOther(names_, *at.folder, at.name, &name, [&](const std::string& n) {
    return fstatat(at.folder->fd(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  });
  if (err != 0) return false;
  if (status != nullptr && S_ISREG(st.st_mode)) {
    status->regular = true;
    status->size = static_cast<unsigned long long>(st.st_size);
    status->modified = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    status->permissions = {st.st_mode, static_cast<long>(st.st_uid), static_cast<long>(st.st_gid)};
  }
  return true;
}

bool PosixServices::SameContent(const AnsiString& a, const AnsiString& b) {
  int fds[2] = {-1, -1};
  struct stat st[2];
  const AnsiString* paths[2] = {&a, &b};
  bool opened = true;
  for (int i = 0; i < 2 && opened; ++i) {
    Place at;
    std::string name;
    opened = Locate(*paths[i], &at) == 0 && !at.name.empty() &&
             OnNameOrOther(names_, *at.folder, at.name, &name, [&](const std::string& n) {
               return OpenRegularFile(at.folder->fd(), n, &fds[i], &st[i]);
             }) == 0;
  }
  const bool same = opened && st[0].st_size == st[1].st_size && SameBytes(fds[0], fds[1], st[0].st_size);
  for (const int fd : fds)
    if (fd >= 0) close(fd);
  return same;
}

OpResult PosixServices::RemoveFile(const AnsiString& path) {
  Place at;
  if (const int err = Locate(path, &at)) return Failure(err);
  if (at.name.empty()) return Failure(EISDIR);
  // unlinkat without AT_REMOVEDIR never removes a folder (EISDIR).
  std::string name;
  const int err = OnNameOrOther(names_, *at.folder, at.name, &name, [&](const std::string& n) {
    return unlinkat(at.folder->fd(), n.c_str(), 0) == 0 ? 0 : errno;
  });
  if (err != 0) return Failure(err);
  names_.Removed(*at.folder, name);
  return OpResult::Success();
}

OpResult PosixServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  Place src, dst;
  if (const int err = Locate(from, &src)) return Failure(err);
  if (const int err = Locate(to, &dst)) return Failure(err);
  if (src.name.empty() || dst.name.empty()) return Failure(EINVAL);
  Folder& sf = *src.folder;
  Folder& df = *dst.folder;

  // The new name exists when another letter case of it does, unless that is
  // the very entry being renamed: a rename that changes only letter case is
  // allowed, as on Windows.
  const std::string taken = names_.OtherName(df, dst.name);
  if (!taken.empty()) {
    const bool sameFolder = sf.device() == df.device() && sf.inode() == df.inode();
    const bool sameEntry =
        sameFolder && (taken == src.name ||
                       (!NameExists(sf.fd(), src.name) && names_.OtherName(sf, src.name) == taken));
    if (!sameEntry && NameExists(df.fd(), taken)) return Failure(EEXIST);
  }
  std::string name;
  const int err = OnNameOrOther(names_, sf, src.name, &name, [&](const std::string& n) {
    return RenameNoReplace(sf.fd(), n, df.fd(), dst.name);
  });
  if (err != 0) return Failure(err);
  names_.Removed(sf, name);
  names_.Created(df, dst.name);
  return OpResult::Success();
}

OpResult PosixServices::CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) {
  Place src, dst;
  if (const int err = Locate(from, &src)) return Failure(err);
  if (const int err = Locate(to, &dst)) return Failure(err);
  if (src.name.empty() || dst.name.empty()) return Failure(EISDIR);
  int in = -1;
  struct stat st;
  std::string name;
  int err = OnNameOrOther(names_, *src.folder, src.name, &name, [&](const std::string& n) {
    return OpenRegularFile(src.folder->fd(), n, &in, &st);
  });
  if (err != 0) return Failure(err);

  Folder& df = *dst.folder;
  // The file in place is replaced under its own name: the exact name when it
  // is there, else the one other letter case of it the rules allow. The new
  // version keeps the permission bits of the version it replaces, in place or
  // just moved away by the caller (`replaced`); only a file new to the folder
  // takes the staged file's. When the caller has just moved the version away
  // and no other spelling is there, the name is free and nothing needs to be
  // asked.
  mode_t mode = NewFileMode(st);
  Owner owner;
  name = dst.name;
  bool replaces = false;
  if (!replaced.kept() || !names_.OtherName(df, dst.name).empty()) {
    struct stat inPlace;
    const auto present = [&](const std::string& n) {
      return fstatat(df.fd(), n.c_str(), &inPlace, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    };
    replaces = OnNameOrOther(names_, df, dst.name, &name, present) == 0;
    if (!replaces) {
      name = dst.name;
    } else if (S_ISREG(inPlace.st_mode)) {
      mode = inPlace.st_mode;
      owner = {inPlace.st_uid, inPlace.st_gid};
    }
  }
  if (!replaces && replaced.kept()) {
    mode = replaced.mode;
    owner = {static_cast<uid_t>(replaced.owner), static_cast<gid_t>(replaced.group)};
  }
  // Only root gives files away. The process's ids do not change during a run.
  static const uid_t euid = geteuid();
  static const gid_t egid = getegid();
  struct stat folder;
  if (euid != 0) {
    owner = Owner();
  } else if (!replaces && !replaced.kept() && fstat(df.fd(), &folder) == 0) {
    owner = {folder.st_uid, folder.st_gid};
  }
  // What root creates is root's, in the folder's group where the folder
  // passes its group on: asking for that again would cost a call per file.
  const gid_t created = df.inheritedGroup() != static_cast<gid_t>(-1) ? df.inheritedGroup() : egid;
  if (owner.uid == euid && owner.gid == created) owner = Owner();
  err = CopyIntoFolder(in, st, df.fd(), name, mode, owner);
  close(in);
  if (err != 0) return Failure(err);
  names_.Created(df, name);
  return OpResult::Success();
}

OpResult PosixServices::FlushFolder(const AnsiString& folder) {
  Place at;
  if (const int err = Locate(folder, &at)) return Failure(err);
  if (!at.name.empty()) return Failure(ENOTDIR);
  if (fsync(at.folder->fd()) != 0 && syncfs(at.folder->fd()) != 0) return Failure(errno);
  return OpResult::Success();
}

OpResult PosixServices::LockApplicationFolder(const AnsiString& folder) {
  Place at;
  if (const int err = Locate(folder, &at)) return Failure(err);
  if (!at.name.empty()) return Failure(ENOTDIR);
  const int err = lock_.TryLock(at.folder->fd());
  if (err == 0) {
    locked_ = at.folder;
    return OpResult::Success();
  }
  // Held, or replaced or removed by its holder between the open and the
  // lock: another updater runs.
  if (err == EWOULDBLOCK) return OpResult::Failure(ErrorKind::kBusy, static_cast<unsigned long>(err));
  // No locks on this file system, or a file that is missing and could not
  // be made (no right to, a read-only file system): nobody holds it then, and
  // a run that may not create it may not change the folder either.
  const bool missing = faccessat(at.folder->fd(), kRunLockName, F_OK, AT_SYMLINK_NOFOLLOW) != 0;
  if (err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS || missing)
    return OpResult::Failure(ErrorKind::kUnsupported, static_cast<unsigned long>(err));
  // Held, or a file at the name that cannot serve: waited out alike.
  return OpResult::Failure(ErrorKind::kBusy, static_cast<unsigned long>(err));
}

void PosixServices::ReleaseApplicationFolder() {
  if (locked_ != nullptr) lock_.Release(locked_->fd());
  locked_.reset();
}

void PosixServices::RemoveLeftTemporaries(const AnsiString& folder) {
  Place at;
  if (Locate(folder, &at) != 0 || !at.name.empty()) return;
  Folder& f = *at.folder;
  if (!lock_.Holds(f.device(), f.inode())) return;
  const std::vector<std::string> left = names_.Read(f, IsTemporaryName);
  for (const std::string& name : left) {
    // A temporary is only ever a regular file made by a run; whatever else
    // bears such a name is someone else's. One whose run still lives may be
    // a copy in flight of a run that could not take the lock at all.
    struct stat st;
    if (MadeByLiveProcess(name) || fstatat(f.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (unlinkat(f.fd(), name.c_str(), 0) == 0) names_.Removed(f, name);
  }
}

void PosixServices::Pause(unsigned milliseconds) {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace posix
