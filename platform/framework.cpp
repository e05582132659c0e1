#include "platform/framework.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/diagnostic_log.h"

// ---------------------------------------------------------------- services

namespace {
CWinApp* g_app = nullptr;
}  // namespace

AnsiString ApplicationFolder(PlatformServices& os) {
  const AnsiString ownPath = os.ModulePath();
  const std::size_t slash = ReverseFindByte(os.ActiveCodePage(), ownPath, '\\');
  return slash == AnsiString::npos ? ownPath : ownPath.substr(0, slash + 1);
}

bool Reachable(PlatformServices& os, const AnsiString& path) { return path.size() < kMaxPath || os.PathFits(path); }

AnsiString FormatAnsi(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  // Paths fit the buffer, so they are formatted once; a longer text is
  // formatted again at its measured size.
  char buffer[2 * kMaxPath];
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  AnsiString out;
  if (n > 0 && static_cast<std::size_t>(n) < sizeof buffer) {
    out.assign(buffer, static_cast<std::size_t>(n));
  } else if (n > 0) {
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
  if (!os_.OpenSearch(pattern, &listing_).ok || !listing_) return false;
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

AnsiString DisplayNameFromPath(const CodePage& cp, const AnsiString& modulePath) {
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

int AfxWinMain(PlatformServices& os, std::vector<AnsiString> args) {
  CWinApp* app = AfxGetApp();
  if (app != nullptr) {
    app->services_ = &os;
    app->args_ = std::move(args);
  }
  const AnsiString ownPath = os.ModulePath();
  if (app == nullptr || ownPath.empty() || ownPath.size() >= kMaxPath) {
    // Every path the update builds starts from this one; without it the run
    // would work on the wrong folder, so no pass runs. What the application
    // can still do without the path is its own affair.
    os.ReportStartupRefusal(ownPath.empty() ? "cannot read or present the updater's own path"
                                            : "the updater's own path is too long");
    if (app != nullptr) app->OwnPathRefused();
    return kExitOwnPathRefused;
  }
  app->displayName_ = DisplayNameFromPath(os.ActiveCodePage(), ownPath);

  // The framework has no message loop: the updater has no window and its
  // start-up always declines one, so the exit operation follows directly and
  // its result is the exit code.
  app->InitInstance();
  return app->ExitInstance();
}

int AfxMessageBox(PlatformServices& os, const AnsiString& text, unsigned type) {
  // The framework adds the icon for its other everyday button sets too; the
  // updater only ever shows OK.
  if ((type & kMbIconMask) == 0 && (type & kMbTypeMask) == kMbOk) type |= kMbIconExclamation;
  const CWinApp* app = AfxGetApp();
  return os.ShowMessage(app != nullptr ? app->DisplayName() : AnsiString(), text, type);
}

int RunProcess(PlatformServices& platform, DiagnosticSink* log, std::vector<AnsiString> args,
               void (*endAbnormally)()) {
  // The terminate handler takes no arguments, so it alone finds the log and
  // the platform's way to end through variables of its own.
  static DiagnosticSink* sink = nullptr;
  static void (*end)() = nullptr;
  sink = log;
  end = endAbnormally;
  std::set_terminate([] {
    if (sink != nullptr) sink->WriteLine(FormatAnsi("uncaught exception, exit code %d", kExitUncaughtException));
    end();
    std::abort();  // not reached: the platform's end never returns
  });
  // Never freed: the services must outlive everything that may still reach
  // them while the process ends.
  LoggingServices* const logged = log != nullptr ? new LoggingServices(platform, *log) : nullptr;
  const int code = AfxWinMain(logged != nullptr ? *logged : platform, std::move(args));
  if (logged != nullptr) logged->LogExit(code);
  return code;
}
