#include "platform/framework.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/diagnostic_log.h"

// ---------------------------------------------------------------- services

namespace {
PlatformServices* g_services = nullptr;
CWinApp* g_app = nullptr;
std::vector<AnsiString> g_args;
}  // namespace

PlatformServices& Os() { return *g_services; }
void SetPlatformServices(PlatformServices* services) { g_services = services; }

void ForwardingServices::EndAbnormally() {
  target_.EndAbnormally();
  std::abort();  // not reached; the compiler cannot know a virtual call never returns
}

const CodePage& ActiveCodePage() { return Os().ActiveCodePage(); }

AnsiString ApplicationFolder() {
  const AnsiString ownPath = ModulePath();
  const std::size_t slash = ReverseFindByte(ActiveCodePage(), ownPath, '\\');
  return slash == AnsiString::npos ? ownPath : ownPath.substr(0, slash + 1);
}

OpResult LockApplicationFolder(const AnsiString& folder) { return Os().LockApplicationFolder(folder); }

void RemoveLeftTemporaries(const AnsiString& folder) { Os().RemoveLeftTemporaries(folder); }

bool PathExists(const AnsiString& path, Permissions* permissions) { return Os().PathExists(path, permissions); }

OpResult CopyFileOver(const AnsiString& from, const AnsiString& to, Permissions replaced) {
  return Os().CopyFileOver(from, to, replaced);
}

AnsiString ModulePath() { return Os().ModulePath(); }

void ShellOpen(const AnsiString& path) { (void)Os().ShellOpen(path); }

void LaunchBesideSelf(const AnsiString& name) { Os().LaunchBesideSelf(name); }

AnsiString FormatAnsi(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  AnsiString out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(&out[0], out.size(), format, again);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  return out;
}

// ---------------------------------------------------------------- finder

bool CFileFind::FindFile(const AnsiString& pattern) {
  Close();
  if (pattern.size() >= kMaxPath) return false;
  if (!Os().OpenSearch(pattern, &listing_).ok || !listing_) return false;
  hasAhead_ = listing_->Next(&ahead_);
  if (!hasAhead_) Close();
  return hasAhead_;
}

bool CFileFind::FindNext() {
  if (!listing_ || !hasAhead_) return false;
  current_ = std::move(ahead_);
  hasCurrent_ = true;
  hasAhead_ = listing_->Next(&ahead_);
  return hasAhead_;
}

bool CFileFind::IsDirectory() const {
  return hasCurrent_ && (current_.attributes & kAttributeDirectory) != 0;
}

AnsiString CFileFind::GetFileName() const { return hasCurrent_ ? current_.name : AnsiString(); }

void CFileFind::Close() {
  listing_.reset();
  hasCurrent_ = hasAhead_ = false;
  current_ = ahead_ = FindEntry();
}

// ---------------------------------------------------------------- application

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

bool CWinApp::InitInstance() { return true; }

void CWinApp::OwnPathRefused() {}

// The framework's message loop, whose last message would give the code, never
// runs.
int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_app; }

const std::vector<AnsiString>& ProgramArguments() { return g_args; }

AnsiString DisplayNameFromPath(const AnsiString& modulePath) {
  const CodePage& cp = ActiveCodePage();
  // The file name starts after the last backslash, slash or drive colon; the
  // extension is its last dot onward, unless a space follows that dot.
  const char* s = modulePath.c_str();
  std::size_t nameStart = 0;
  for (std::size_t i = 0, n; (n = CharLength(cp, s + i)) != 0; i += n)
    if (n == 1 && (s[i] == '\\' || s[i] == '/' || s[i] == ':')) nameStart = i + n;
  std::size_t extStart = AnsiString::npos;
  for (std::size_t i = nameStart, n; (n = CharLength(cp, s + i)) != 0; i += n) {
    if (n == 1 && s[i] == '.') extStart = i;
    if (n == 1 && s[i] == ' ') extStart = AnsiString::npos;
  }
  const std::size_t end = extStart == AnsiString::npos ? std::strlen(s) : extStart;
  return AnsiString(s + nameStart, end - nameStart);
}

int AfxWinMain(std::vector<AnsiString> args) {
  g_args = std::move(args);
  Os().AddErrorMode(kSemFailCriticalErrors | kSemNoOpenFileErrorBox);

  CWinApp* app = AfxGetApp();
  const AnsiString ownPath = ModulePath();
  if (app == nullptr || ownPath.empty() || ownPath.size() >= kMaxPath) {
    // Every path the update builds starts from this one; without it the run
    // would work on the wrong folder, so no pass runs. What the application
    // can still do without the path is its own affair.
    Os().ReportStartupRefusal(ownPath.empty() ? "cannot read or present the updater's own path"
                                              : "the updater's own path is too long");
    if (app != nullptr) app->OwnPathRefused();
    return kExitOwnPathRefused;
  }
  app->displayName_ = DisplayNameFromPath(ownPath);

  // The framework has no message loop: the updater has no window and its
  // start-up always declines one, so the exit operation follows directly and
  // its result is the exit code.
  app->InitInstance();
  return app->ExitInstance();
}

int AfxMessageBox(const AnsiString& text, unsigned type) {
  // The framework adds the icon for its other everyday button sets too; the
  // updater only ever shows OK.
  if ((type & kMbIconMask) == 0 && (type & kMbTypeMask) == kMbOk) type |= kMbIconExclamation;
  const CWinApp* app = AfxGetApp();
  return Os().ShowMessage(app != nullptr ? app->DisplayName() : AnsiString(), text, type);
}

int RunProcess(PlatformServices& platform, DiagnosticSink* log, std::vector<AnsiString> args) {
  // Never freed: the services must outlive everything that may still reach
  // them while the process ends.
  LoggingServices* const logged = log != nullptr ? new LoggingServices(platform, *log) : nullptr;
  SetPlatformServices(logged != nullptr ? static_cast<PlatformServices*>(logged) : &platform);
  std::set_terminate([] { Os().EndAbnormally(); });
  const int code = AfxWinMain(std::move(args));
  if (logged) logged->LogExit(code);
  return code;
}
