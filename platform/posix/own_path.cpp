// The updater's own path on POSIX: where the running executable is, as the
// kernel tells it.
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/path_translation.h"
#include "platform/posix/posix_services.h"

namespace posix {
namespace {

// Where no /proc is mounted (a minimal root, a sandbox): the path the
// executable was started by, as the kernel handed it over, made absolute
// against the working folder it was started in. Empty when there is none.
std::string PathStartedAs() {
  const auto started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (started == nullptr || *started == '\0') return std::string();
  if (*started == '/') return started;
  std::vector<char> cwd(4096);
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    cwd.resize(cwd.size() * 2);
  }
  std::string path = cwd.data();
  if (path.back() != '/') path += '/';
  // "./selfupdate" as "/app/selfupdate": the folder is what counts.
  return path + (std::strncmp(started, "./", 2) == 0 ? started + 2 : started);
}

}  // namespace

AnsiString PosixServices::ModulePath() {
  // Read once: every later caller gets the very answer the start-up checked,
  // even if the executable is renamed or its folder moved meanwhile.
  if (moduleRead_) return modulePath_;
  moduleRead_ = true;
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      moduleNative_ = PathStartedAs();
      break;
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      moduleNative_.assign(buffer.data(), static_cast<std::size_t>(n));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  if (moduleNative_.empty() || !LogicFromNative(moduleNative_, &modulePath_)) modulePath_.clear();
  return modulePath_;
}

}  // namespace posix
