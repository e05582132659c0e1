#include "platform/posix/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "platform/ansi_text.h"
#include "platform/posix/encoding.h"

namespace posix {

bool LogicNameFromNative(const std::string& nativeName, std::string* logicName) {
  // A backslash inside a POSIX name would split it in two for the logic.
  if (nativeName.find('\\') != std::string::npos) return false;
  return Utf8ToAnsi(nativeName, logicName);
}

bool LogicFromNative(const std::string& native, std::string* logic) {
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
  native->clear();
  const CodePage& cp = ActiveCodePage();
  const char* s = logic.c_str();
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

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// The smallest entry name of `folder` equal to `name` without regard to case,
// or empty when there is none.
std::string FindCaseMatch(const std::string& folder, const std::string& name) {
  std::string logicName;
  if (!Utf8ToAnsi(name, &logicName)) return std::string();
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return std::string();
  const CodePage& cp = ActiveCodePage();
  std::string best;
  while (const dirent* e = readdir(dir.get())) {
    const std::string entry = e->d_name;
    std::string logicEntry;
    if (!LogicNameFromNative(entry, &logicEntry)) continue;
    if (EqualsNoCase(cp, logicEntry, logicName) && (best.empty() || entry < best)) best = entry;
  }
  return best;
}

}  // namespace

std::string ResolveCase(const std::string& native) {
  if (native.empty() || Exists(native)) return native;
  const std::size_t slash = native.find_last_of('/');
  const std::string parentGiven = slash == std::string::npos ? std::string() : native.substr(0, slash);
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  // The root and relative starts always exist as given.
  const std::string parent = (slash == 0 || parentGiven.empty()) ? parentGiven : ResolveCase(parentGiven);
  const std::string prefix = slash == std::string::npos ? std::string() : parent + "/";
  if (name.empty() || name == "." || name == "..") return prefix + name;
  if (!Exists(parent.empty() ? "/" : parent) && slash != std::string::npos) return prefix + name;
  const std::string match = FindCaseMatch(slash == 0 ? "/" : parent, name);
  return prefix + (match.empty() ? name : match);
}

bool ResolveLogic(const std::string& logic, std::string* native) {
  std::string exact;
  if (!NativeFromLogic(logic, &exact)) return false;
  *native = ResolveCase(exact);
  return true;
}

}  // namespace posix
