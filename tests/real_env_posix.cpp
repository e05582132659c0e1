// The contract tests' real folder on POSIX: a fresh temporary folder, set up
// and inspected with plain POSIX calls, around the services under test.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/posix/encoding.h"
#include "platform/posix/path_translation.h"
#include "platform/posix/posix_services.h"
#include "tests/contract_env.h"
#include "tests/memory_services.h"

namespace {

class PosixEnv : public ContractEnv {
 public:
  PosixEnv() {
    char templ[] = "/tmp/selfupdate-contract-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp");
    native_ = templ;
    if (!posix::LogicFromNative(native_, &root_)) throw std::runtime_error("temp path");
    root_ += "\\";
  }
  ~PosixEnv() override { (void)!system(("rm -rf '" + native_ + "'").c_str()); }

  PlatformServices& Services() override { return services_; }
  AnsiString Root() override { return root_; }
  void MakeFolder(const AnsiString& rel) override { mkdir(Native(rel).c_str(), 0755); }
  void WriteFile(const AnsiString& rel, const std::string& content) override {
    std::ofstream(Native(rel), std::ios::binary) << content;
  }
  bool ReadFile(const AnsiString& rel, std::string* content) override {
    struct stat st;
    if (stat(Native(rel).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::ifstream in(Native(rel), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    *content = s.str();
    return true;
  }
  bool IsFolder(const AnsiString& rel) override {
    struct stat st;
    return stat(Native(rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::vector<AnsiString> List(const AnsiString& rel) override {
    std::vector<AnsiString> names;
    if (DIR* d = opendir(Native(rel).c_str())) {
      while (const dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        AnsiString logic;
        if (n != "." && n != ".." && posix::Utf8ToAnsi(n, &logic)) names.push_back(logic);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  // Relative logic path to a native one, converted exactly (no case lookup).
  std::string Native(const AnsiString& rel) {
    std::string n;
    if (!posix::NativeFromLogic(rel, &n)) throw std::runtime_error("untranslatable test path");
    return native_ + "/" + n;
  }

  std::string native_;
  AnsiString root_;
  posix::PosixServices services_;
};

}  // namespace

std::unique_ptr<ContractEnv> MakeRealEnv() { return std::make_unique<PosixEnv>(); }

const CodePage& PlatformCodePage() { return posix::LogicCodePage(); }
