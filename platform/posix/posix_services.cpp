#include "platform/posix/posix_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/paths.h"

namespace posix {
namespace {

constexpr unsigned long kErrorPathNotTranslatable = EILSEQ;

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
    const CodePage& cp = ActiveCodePage();
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

bool LstatOk(const std::string& path, struct stat* st) { return lstat(path.c_str(), st) == 0; }

}  // namespace

AnsiString PosixServices::ModulePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return AnsiString();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      AnsiString logic;
      if (!LogicFromNative(std::string(buffer.data(), static_cast<std::size_t>(n)), &logic))
        return AnsiString();
      return logic;
    }
    buffer.resize(buffer.size() * 2);
  }
}

OpResult PosixServices::OpenSearch(const AnsiString& pattern, std::unique_ptr<DirectoryListing>* listing) {
  const std::size_t slash = ReverseFindByte(ActiveCodePage(), pattern, '\\');
  const AnsiString folderLogic = slash == AnsiString::npos ? AnsiString() : pattern.substr(0, slash + 1);
  const AnsiString wildcard = slash == AnsiString::npos ? pattern : pattern.substr(slash + 1);
  std::string folder;
  if (!ResolveLogic(folderLogic.empty() ? AnsiString(".") : folderLogic, &folder))
    return OpResult::Failure(kErrorPathNotTranslatable);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return OpResult::Failure(static_cast<unsigned long>(errno));
  *listing = std::make_unique<PosixListing>(dir, wildcard);
  return OpResult::Success();
}

bool PosixServices::PathExists(const AnsiString& path) {
  std::string native;
  struct stat st;
  return ResolveLogic(path, &native) && lstat(native.c_str(), &st) == 0;
}

OpResult PosixServices::RemoveFile(const AnsiString& path) {
  std::string native;
  if (!ResolveLogic(path, &native)) return OpResult::Failure(kErrorPathNotTranslatable);
  struct stat st;
  if (!LstatOk(native, &st)) return OpResult::Failure(static_cast<unsigned long>(errno));
  if (S_ISDIR(st.st_mode)) return OpResult::Failure(EISDIR);
  if (unlink(native.c_str()) != 0) return OpResult::Failure(static_cast<unsigned long>(errno));
  return OpResult::Success();
}

namespace {

// rename() that fails with EEXIST instead of replacing.
int RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  // Only a file system that does not know the flag gets the fallback.
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
#endif
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

OpResult PosixServices::RenameFile(const AnsiString& from, const AnsiString& to) {
  std::string nativeFrom, nativeTo, exactTo;
  if (!ResolveLogic(from, &nativeFrom) || !NativeFromLogic(to, &exactTo))
    return OpResult::Failure(kErrorPathNotTranslatable);
  nativeTo = ResolveCase(exactTo);
  struct stat st;
  if (!LstatOk(nativeFrom, &st)) return OpResult::Failure(static_cast<unsigned long>(errno));
  // A new name that differs from the old one only in letter case names the
  // same entry; that rename is allowed, as on Windows.
  if (nativeTo == nativeFrom && exactTo != nativeFrom) {
    return rename(nativeFrom.c_str(), exactTo.c_str()) == 0
               ? OpResult::Success()
               : OpResult::Failure(static_cast<unsigned long>(errno));
  }
  const int err = RenameNoReplace(nativeFrom, nativeTo);
  return err == 0 ? OpResult::Success() : OpResult::Failure(static_cast<unsigned long>(err));
}

OpResult PosixServices::CopyFileOver(const AnsiString& from, const AnsiString& to) {
  std::string nativeFrom, nativeTo;
  if (!ResolveLogic(from, &nativeFrom) || !ResolveLogic(to, &nativeTo))
    return OpResult::Failure(kErrorPathNotTranslatable);
  const int err = CopyNativeFileOver(nativeFrom, nativeTo);
  return err == 0 ? OpResult::Success() : OpResult::Failure(static_cast<unsigned long>(err));
}

void PosixServices::AddErrorMode(unsigned) {}

}  // namespace posix
