// A folder to run the platform contract tests in: either the in-memory double
// or a real temporary folder on the platform under test. Both must pass the
// same tests, so the double cannot drift from the real thing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

class ContractEnv {
 public:
  virtual ~ContractEnv() = default;
  virtual PlatformServices& Services() = 0;
  // The logic-form path (backslash separated, active code page) of an empty
  // folder that belongs to this test, ending in a backslash.
  virtual AnsiString Root() = 0;
  // Set-up and inspection by paths relative to Root(), backslash separated.
  // They go around the services under test.
  virtual void MakeFolder(const AnsiString& rel) = 0;
  virtual void WriteFile(const AnsiString& rel, const std::string& content) = 0;
  // False when nothing is there or it is a folder.
  virtual bool ReadFile(const AnsiString& rel, std::string* content) = 0;
  virtual bool IsFolder(const AnsiString& rel) = 0;
  // Names in a folder, sorted bytewise, without "." and "..".
  virtual std::vector<AnsiString> List(const AnsiString& rel) = 0;
};

// The platform's own services on a fresh temporary folder.
std::unique_ptr<ContractEnv> MakeRealEnv();
// The test double on an empty in-memory tree.
std::unique_ptr<ContractEnv> MakeFakeEnv();
