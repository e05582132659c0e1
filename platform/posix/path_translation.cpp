#include "platform/posix/path_translation.h"

#include <algorithm>
#include <cstring>

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
  // The logic's strings end at their first NUL. Most paths are ASCII, the
  // same bytes in both, with only the separators to turn.
  const std::size_t size = std::strlen(s);
  if (IsAscii(s, size)) {
    native->assign(s, size);
    char* const end = &(*native)[0] + size;
    for (char* p = &(*native)[0];
         (p = static_cast<char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)))) != nullptr; ++p)
      *p = '/';
    return true;
  }
  native->clear();
  const CodePage& cp = LogicCodePage();
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

}  // namespace posix
