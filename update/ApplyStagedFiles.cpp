#include "update/ApplyStagedFiles.h"

#include "platform/platform.h"
#include "res/texts.h"

#include <vector>

namespace {

// Whether a staged name is one the pass applies: its part after the first dot
// is exe or dll in any letter case, and it is not the staged installer
// (`installer`, as the active code page spells it; empty where it cannot, and
// then no listed name is the installer).
bool IsAppliedName(const CodePage& cp, const AnsiString& name, const AnsiString& installer) {
  const std::size_t dot = FindString(cp, name.c_str(), texts::kExtensionSeparator);
  if (dot == AnsiString::npos) return false;
  const char* const extension = name.c_str() + dot + 1;
  if (!installer.empty() && EqualsNoCase(cp, name, installer)) return false;
  return EqualsNoCase(cp, extension, texts::kExeExtension) ||
         EqualsNoCase(cp, extension, texts::kDllExtension);
}

// The pass's guarded operations: a failed delete or rename is no reason to
// stop. They raise nothing: a missing backup, the usual case, is not worth an
// exception, and the steps after them decide from the result, which says
// "failed" also when the system gave no error code.
bool RemoveIfPossible(PlatformServices& os, const AnsiString& path) { return os.RemoveFile(path).ok; }

bool RenameIfPossible(PlatformServices& os, const AnsiString& from, const AnsiString& to) {
  return os.RenameFile(from, to).ok;
}

// Whether the staged copy `source` was applied by an earlier run that could
// not remove it (a scanner held it, or a power cut undid the removal): the
// file in place at `target`, whose status is `inPlace`, holds its bytes.
// Applying it again would put the new version where the backup of the old one
// is. A copy made by a run is never older than its staged file (it was
// written later, or carries the staged file's time), while a new version is
// as a rule newer than the file it replaces; so only files of one size whose
// times allow it are read.
bool AppliedAlready(PlatformServices& os, const PathStatus& inPlace, const AnsiString& source,
                    const AnsiString& target) {
  PathStatus staged;
  return inPlace.regular && os.PathExists(source, &staged) && staged.regular && staged.size == inPlace.size &&
         inPlace.modified >= staged.modified && os.SameContent(source, target);
}

// The staged names the pass applies, in the order the file system lists
// them, from the staging folder of `appFolder`.
std::vector<AnsiString> AppliedNames(PlatformServices& os, const AnsiString& appFolder) {
  const CodePage& cp = os.ActiveCodePage();
  // The installer's name is written in code page 936; a system in another
  // code page lists it with other bytes.
  const AnsiString installer = FromCodePage936(cp, texts::kInstallerName);
  std::vector<AnsiString> names;
  CFileFind finder(os);
  bool more = finder.FindFile(appFolder + texts::kStagingPattern);
  while (more) {
    // The entry advanced to is the one handled now, so the last entry is
    // handled too, after `more` has turned false.
    more = finder.FindNext();
    if (finder.IsDirectory()) continue;
    AnsiString name = finder.GetFileName();
    if (IsAppliedName(cp, name, installer)) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

bool AnyStagedFile(PlatformServices& os) { return !AppliedNames(os, ApplicationFolder(os)).empty(); }

bool ApplyStagedFiles(PlatformServices& os) {
  // The start-up only gets here with an own path shorter than kMaxPath.
  const AnsiString appFolder = ApplicationFolder(os);
  const AnsiString stagingFolder = appFolder + texts::kStagingFolder;

  // All names are read before the first is applied: a path this system
  // cannot reach would fail its copy on every run, after the names before
  // it, so then none is applied. The staged path is the longest the pass
  // builds for a name, in any form: the backup's is 5 bytes shorter, and a
  // copy's temporary is no longer.
  const std::vector<AnsiString> names = AppliedNames(os, appFolder);
  for (const AnsiString& name : names) {
    // Built only when long: most paths are far from any limit.
    if (stagingFolder.size() + name.size() >= kMaxPath && !Reachable(os, stagingFolder + name)) return false;
  }

  // Once for every staged copy removed, before the run waits for the user or
  // ends: a removal that a power cut undid would leave a copy applied
  // already, for the next run to read and remove again.
  bool removedStaged = false;
  const auto flushRemovals = [&] {
    if (removedStaged) (void)os.FlushFolder(stagingFolder);
    removedStaged = false;
  };

  // Made again in place for each name: a pass over thousands of files then
  // does not allocate its paths anew each time.
  AnsiString target, source, backup;
  for (const AnsiString& name : names) {
    target.assign(appFolder).append(name);
    source.assign(stagingFolder).append(name);
    backup.assign(target).append(texts::kBackupSuffix);

    // The version in place moves to its backup name, where an older backup
    // gives way to it: the rename is tried first, and only a name taken
    // makes the older backup go (when it cannot, the rename stays undone
    // and the copy overwrites in place). With nothing in place the backup
    // may be the only copy of the old version (a run that stopped between
    // its rename and its copy), so it is kept; the copy then creates the
    // file, and a failed copy renames the backup back.
    // The new version keeps the permissions of the one it replaces, which
    // the copy no longer finds at the target once it has moved away.
    bool movedToBackup = false;
    PathStatus inPlace;
    if (os.PathExists(target, &inPlace)) {
      OpResult moved = os.RenameFile(target, backup);
      if (!moved.ok && moved.kind == ErrorKind::kAlreadyExists) {
        // A staged copy that is the version in place already, with the
        // version before it in the backup: only its removal is tried again.
        if (AppliedAlready(os, inPlace, source, target)) {
          removedStaged = RemoveIfPossible(os, source) || removedStaged;
          continue;
        }
        if (RemoveIfPossible(os, backup)) moved = os.RenameFile(target, backup);
      }
      movedToBackup = moved.ok;
    }

    if (os.CopyFileOver(source, target, movedToBackup ? inPlace.permissions : Permissions()).ok) {
      // Left staged if it cannot be removed; the next run finds it applied
      // and only removes it.
      removedStaged = RemoveIfPossible(os, source) || removedStaged;
      continue;
    }

    // Once the old version has moved to its backup, whatever a failed copy
    // left at the target path is not it, and a partial program in place would
    // block the rename back. Otherwise the file there may be the old version
    // itself, so it is kept.
    if (movedToBackup) RemoveIfPossible(os, target);
    // Put the old version back under its own name, tell the user once, and
    // leave the remaining staged files for a later run.
    RenameIfPossible(os, backup, target);
    flushRemovals();
    AfxMessageBox(os, texts::kFailureMessage, kMbOk);
    break;
  }
  flushRemovals();
  return true;
}
