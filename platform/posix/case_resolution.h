// Finding names as Windows would, on a file system that tells letter case
// apart. Paths here are native (UTF-8, slash separated).
//
// An operation on NAME in a folder acts on:
//  1. NAME itself when the folder has it. The operation is tried on NAME
//     first, so the system call decides, not anything remembered.
//  2. Otherwise the one other name in the folder that equals NAME without
//     regard to case, when there is exactly one and its group never held
//     twins during the run. The operation is then tried on that name, and
//     again the system call decides whether it is still there.
//  3. Otherwise NAME itself: an operation that creates creates NAME.
//
// Letter case is that of every script, as Windows compares names: each
// letter by its simple upper-case form (UnicodeCaseKey in encoding.h).
//
// Twins are names of one folder that differ only in letter case (POSIX
// allows them; Windows does not). A group that held twins at any moment of
// the run is acted on by exact names only, and so is a name that is such a
// group's name plus one more extension (the backup of either twin, say). So
// a file the update pass does not apply is never overwritten or deleted in
// place of another, and an update of a name with twins still moves the
// version in place to its backup (the backup name is created exactly,
// beside any twin of it). When the name itself is absent and only twins of it
// are there, none of them counts as the version in place: the new version is
// created under the name itself.
//
// The other names come from one reading of each folder per run, made when
// an exact name is first missing there (most passes find every name as
// given in the staging folder, and never read it), and kept up to date with
// this process's own changes. The names this process removed before the
// reading are counted with it: one of them beside another spelling of it
// that is there now marks their group as twins, as they may have been. A
// pass over N files thus reads each folder at most once on any file system.
// The reading only proposes a name; it never decides alone.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <memory>
#include <string>
#include <vector>

namespace posix {

// A folder open for the run, and what the run knows of its names.
class Folder {
 public:
  Folder(int fd, std::string path);
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  int fd() const { return fd_; }
  // The native path it was found at, letter case as found.
  const std::string& path() const { return path_; }
  dev_t device() const { return dev_; }
  ino_t inode() const { return ino_; }
  // The group a file created in it gets from it, as the folder was when
  // opened: its own when it passes its group on (set-group-ID), else -1,
  // the creating process's.
  gid_t inheritedGroup() const { return inheritedGroup_; }

 private:
  friend class CaseResolver;
  // The names of one case key. A group that ever held twins is acted on by
  // exact names only, so which names it holds no longer matters: only a
  // group that never did keeps its one name (empty when it has none now).
  struct Group {
    std::string key;
    std::string only;
    bool twinned = false;
  };
  // The groups by case key, open-addressed: a pass looks up a few names per
  // file in a folder of thousands, most of them names that are not there,
  // which this answers from one small array of slots without touching the
  // groups themselves.
  class Groups {
   public:
    void Reserve(std::size_t count);
    Group* Find(const std::string& key);
    Group& Insert(const std::string& key);  // the group of `key`, new if need be

   private:
    struct Slot {
      std::uint32_t fingerprint = 0;
      std::uint32_t index = 0;  // 1 + the group's place in groups_; 0: empty
    };
    Slot* Probe(const std::string& key, std::size_t hash);
    void Grow(std::size_t slots);
    void Remember(const std::string& key, std::uint32_t index);
    std::vector<Group> groups_;
    std::vector<Slot> slots_;  // a power of two, never more than half full
    // The last keys asked for and their answers (1 + the group's place, or 0
    // for none): one operation asks about the same name more than once, and
    // each time the slots may have left the cache since the step before.
    // An answer only changes when that key is inserted.
    struct Recent {
      std::string key;
      std::uint32_t index = 0;
    };
    Recent recent_[2];
    unsigned nextRecent_ = 0;
  };

  // Reads the names; those `keep` accepts also go to *kept.
  void List(bool (*keep)(const std::string&), std::vector<std::string>* kept);
  void Add(const std::string& name);

  int fd_;
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  gid_t inheritedGroup_ = static_cast<gid_t>(-1);
  bool listed_ = false;
  std::vector<std::string> removedUnread_;  // removed by this run before the reading
  Groups groups_;
};

// The case resolution of one run. Folders found are kept open for the run.
class CaseResolver {
 public:
  // The folder `native` names (empty: the current folder), each component
  // found by the rule above, iteratively; null with errno set when it cannot
  // be found or opened. *resolved, when given, gets the path with every
  // component found so far as found and the rest as given.
  std::shared_ptr<Folder> OpenFolder(const std::string& native, std::string* resolved = nullptr);

  // Rule 2: the other name an operation on `name` may act on when `name`
  // itself is not there; empty when there is none.
  std::string OtherName(Folder& folder, const std::string& name);

  // This process's own changes, so the reading stays current.
  void Created(Folder& folder, const std::string& name);
  void Removed(Folder& folder, const std::string& name);

  // The names of the folder that `keep` accepts, as it holds them now. Read
  // with the run's reading when there has been none yet, else afresh.
  std::vector<std::string> Read(Folder& folder, bool (*keep)(const std::string&));

  // The existing path `native` names by the rule above, or where a new entry
  // of that name would go; components that cannot be found are kept as given.
  std::string Resolve(const std::string& native);

 private:
  static constexpr std::size_t kMaxOpenFolders = 16;
  std::vector<std::pair<std::string, std::shared_ptr<Folder>>> open_;  // by the path asked for
};

}  // namespace posix
