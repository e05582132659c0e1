// Showing the failure message and starting programs, the POSIX way.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/encoding.h"
#include "platform/posix/path_translation.h"
#include "platform/posix/posix_services.h"

extern char** environ;

namespace posix {
namespace {

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

const char kDevNull[] = "/dev/null";
const char kOwnDescriptors[] = "/proc/self/fd";
const char kOpener[] = "xdg-open";
const char kEnv[] = "/usr/bin/env";
const char kUtf8Locale[] = "LC_ALL=C.UTF-8";
const char kXawInternational[] = "*international: true";
// Any 16-pixel upright font of each character set the locale needs, else
// whatever the server has.
const char kXawFontSet[] = "*fontSet: -*-*-medium-r-normal--16-*-*-*-*-*-*-*,*";

bool HasGraphicalSession() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

std::string ToUtf8OrRaw(const AnsiString& text) {
  std::string utf8;
  return AnsiToUtf8(text, &utf8) ? utf8 : text;
}

// Whether the locale the dialog programs inherit (LC_ALL, else LC_CTYPE,
// else LANG, as the C library picks it) encodes text as UTF-8.
bool InheritedLocaleIsUtf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string lower;
    for (const char* c = value; *c != '\0'; ++c)
      if (*c != '-') lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return lower.find("utf8") != std::string::npos;
  }
  return false;
}

// The dialog programs read their text from the command line in the locale's
// encoding, and the text is UTF-8: in any other locale (the C locale of a
// bare session or a service, say) zenity refuses it and xmessage shows it as
// Latin-1. There the program runs in C.UTF-8, which every current C library
// has; a UTF-8 locale of the user's own is kept, with its language.
std::vector<const char*> DialogArgv(std::initializer_list<const char*> argv) {
  std::vector<const char*> out;
  if (!InheritedLocaleIsUtf8()) out = {kEnv, kUtf8Locale};
  out.insert(out.end(), argv);
  out.push_back(nullptr);
  return out;
}

void WriteAll(int fd, const std::string& s) {
  for (std::size_t done = 0; done < s.size();) {
    const ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void MarkCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Marks every descriptor above standard error close-on-exec, so no program
// started inherits it. The updater opens its own that way; this is for those
// it inherited.
void CloseOnExecAboveStandard() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  // A kernel before 5.11: each descriptor the process has, as /proc lists
  // them, else every number up to the limit.
  if (DIR* dir = opendir(kOwnDescriptors)) {
    while (const dirent* e = readdir(dir)) {
      const int fd = std::atoi(e->d_name);
      if (fd > 2) MarkCloseOnExec(fd);
    }
    closedir(dir);
    return;
  }
  for (long fd = 3, limit = sysconf(_SC_OPEN_MAX); fd < limit; ++fd) MarkCloseOnExec(static_cast<int>(fd));
}

}  // namespace

std::string FindInPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::string();
  for (std::string rest = path;;) {
    const std::size_t colon = rest.find(':');
    std::string dir = rest.substr(0, colon);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos) return std::string();
    rest.erase(0, colon + 1);
  }
}

int Spawn(const char* const argv[], bool wait) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // Standard input reads as empty: /dev/null, or where a minimal root has
  // none, a pipe whose other end is closed.
  int ends[2] = {-1, -1};
  if (access(kDevNull, R_OK) == 0 || pipe2(ends, O_CLOEXEC) != 0) {
    posix_spawn_file_actions_addopen(&actions, 0, kDevNull, O_RDONLY, 0);
  } else {
    close(ends[1]);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
  }
  // A clean start: what the updater's own parent gave it (a single-instance
  // lock's descriptor, blocked or ignored signals) and what the updater
  // ignores itself do not reach the program it starts.
  CloseOnExecAboveStandard();
  // Every signal number, the C library's own included: sigfillset leaves
  // those out, and the spawn would start them ignored.
  sigset_t all, none;
  std::memset(&all, 0xFF, sizeof all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (!wait) {
    // Its own session, so it outlives the updater and no terminal signal
    // meant for the updater reaches it.
    flags |= POSIX_SPAWN_SETSID;
  }
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, argv[0], &actions, &attr, const_cast<char* const*>(argv), environ);
  if (ends[0] >= 0) close(ends[0]);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (err != 0) return err;
  if (wait) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return 0;
}

int PosixServices::ShowMessage(const AnsiString& caption, const AnsiString& text, unsigned) {
  const std::string cap = ToUtf8OrRaw(caption), body = ToUtf8OrRaw(text);
  WriteAll(2, cap + "\n" + body + "\n");
  if (!HasGraphicalSession()) return kIdOk;

  // The first dialog program found shows the message; the run waits for it
  // to be closed, as it would for a modal box.
  const std::string zenity = FindInPath("zenity");
  if (!zenity.empty()) {
    const auto argv = DialogArgv({zenity.c_str(), "--warning", "--no-markup", "--title", cap.c_str(),
                                  "--text", body.c_str()});
    if (Spawn(argv.data(), true) == 0) return kIdOk;
  }
  const std::string kdialog = FindInPath("kdialog");
  if (!kdialog.empty()) {
    const auto argv = DialogArgv({kdialog.c_str(), "--title", cap.c_str(), "--sorry", body.c_str()});
    if (Spawn(argv.data(), true) == 0) return kIdOk;
  }
  const std::string xmessage = FindInPath("xmessage");
  if (!xmessage.empty()) {
    // xmessage draws with the X server's core fonts. In its international
    // mode and given a font set, it takes each character from a font of the
    // right character set (xfonts-base has the Chinese ones); otherwise it
    // shows the bytes one by one. Return presses "okay".
    const auto argv = DialogArgv({xmessage.c_str(), "-xrm", kXawInternational, "-xrm", kXawFontSet,
                                  "-default", "okay", "-center", "-title", cap.c_str(), body.c_str()});
    Spawn(argv.data(), true);
  }
  return kIdOk;
}

OpResult PosixServices::ShellOpen(const AnsiString& path) {
  std::string native;
  if (!NativeFromLogic(path, &native)) return Failure(EILSEQ);
  return OpenNative(std::move(native));
}

void PosixServices::LaunchBesideSelf(const AnsiString& name) {
  ModulePath();
  const std::size_t slash = moduleNative_.find_last_of('/');
  std::string native;
  if (slash == std::string::npos || !AnsiToUtf8(name, &native)) return;
  // In UTF-8 a byte 0x5C is always the backslash itself, never part of a
  // character, so each one is a separator.
  for (char& c : native)
    if (c == '\\') c = '/';
  OpenNative(moduleNative_.substr(0, slash + 1) + native);
}

OpResult PosixServices::OpenNative(std::string native) {
  native = names_.Resolve(native);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Failure(errno);
  // A path without a slash would be looked up in PATH by the spawn.
  if (native.find('/') == std::string::npos) native = "./" + native;
  if (S_ISREG(st.st_mode) && access(native.c_str(), X_OK) == 0) {
    const char* argv[] = {native.c_str(), nullptr};
    const int err = Spawn(argv, false);
    return err == 0 ? OpResult::Success() : Failure(err);
  }
  // A file that is there but is no program: only an opener could start
  // something for it, and there is none.
  const std::string opener = FindInPath(kOpener);
  if (opener.empty()) return OpResult::Failure(ErrorKind::kNoProgram, ENOENT);
  const char* argv[] = {opener.c_str(), native.c_str(), nullptr};
  const int err = Spawn(argv, false);
  return err == 0 ? OpResult::Success() : Failure(err);
}

void EndAbnormally() {
  static const char kText[] = "selfupdate: abnormal program termination\n";
  (void)!write(2, kText, sizeof kText - 1);
  _exit(kExitUncaughtException);
}

void PosixServices::ReportStartupRefusal(const char* reason) {
  std::fprintf(stderr, "selfupdate: %s; nothing was updated\n", reason);
}

}  // namespace posix
