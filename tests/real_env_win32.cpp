// The contract tests' real folder on Windows: a fresh folder under the
// temporary folder, set up and inspected with Win32 calls directly.
#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/win32/code_page_win32.h"
#include "platform/win32/win32_services.h"
#include "tests/contract_env.h"
#include "tests/memory_services.h"

namespace {

std::runtime_error SetUpFailure(const char* what, const AnsiString& path) {
  return std::runtime_error(std::string(what) + " failed for " + path + ", error " +
                            std::to_string(GetLastError()));
}

// Removes a folder and everything in it; read-only files included.
void RemoveTree(const AnsiString& folder) {
  WIN32_FIND_DATAA data;
  const HANDLE h = FindFirstFileA((folder + "*").c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const AnsiString name = data.cFileName;
      if (name == "." || name == "..") continue;
      const AnsiString path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path + "\\");
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(h, &data));
    FindClose(h);
  }
  RemoveDirectoryA(folder.c_str());
}

class Win32Env : public ContractEnv {
 public:
  Win32Env() {
    char temp[MAX_PATH];
    const DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) throw SetUpFailure("GetTempPathA", "");
    // Wine gives later processes the numbers of earlier ones, and a folder
    // the run lock kept open outlives its test: a name already taken is
    // passed over.
    static unsigned counter = 0;
    for (;;) {
      AnsiString name = "selfupdate-contract-" + std::to_string(GetCurrentProcessId()) + "-" +
                        std::to_string(counter++);
      // In code page 936 the folder's name holds a character whose second
      // byte is a backslash, so every service meets one in every path.
      if (GetACP() == 936) name += "\x95\x5C";
      root_ = AnsiString(temp, n) + name + "\\";
      if (CreateDirectoryA(root_.c_str(), nullptr)) break;
      if (GetLastError() != ERROR_ALREADY_EXISTS) throw SetUpFailure("CreateDirectoryA", root_);
    }
  }
  ~Win32Env() override { RemoveTree(root_); }

  PlatformServices& Services() override { return services_; }
  AnsiString Root() override { return root_; }

  void MakeFolder(const AnsiString& rel) override {
    const AnsiString path = root_ + rel;
    if (!CreateDirectoryA(path.c_str(), nullptr)) throw SetUpFailure("CreateDirectoryA", path);
  }

  void WriteFile(const AnsiString& rel, const std::string& content) override {
    const AnsiString path = root_ + rel;
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw SetUpFailure("CreateFileA", path);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != content.size()) throw SetUpFailure("WriteFile", path);
  }

  bool ReadFile(const AnsiString& rel, std::string* content) override {
    const AnsiString path = root_ + rel;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    content->clear();
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(h, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
      content->append(buffer, got);
    CloseHandle(h);
    return ok;
  }

  bool IsFolder(const AnsiString& rel) override {
    const DWORD attributes = GetFileAttributesA((root_ + rel).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::vector<AnsiString> List(const AnsiString& rel) override {
    AnsiString folder = root_ + rel;
    if (!rel.empty()) folder += "\\";
    std::vector<AnsiString> names;
    WIN32_FIND_DATAA data;
    const HANDLE h = FindFirstFileA((folder + "*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      const AnsiString name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(h, &data));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  win32::Win32Services services_;
  AnsiString root_;
};

}  // namespace

std::unique_ptr<ContractEnv> MakeRealEnv() { return std::make_unique<Win32Env>(); }

const CodePage& PlatformCodePage() { return ProcessCodePage(); }
