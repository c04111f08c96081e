// A device registry for a test to fill, behind one small interface: the Linux tool reads it from
// the directory that MX40R_REGISTRY_DIR names, and the Windows exe under Wine would read keys made
// in its prefix with `wine reg add` through another implementation of the same interface.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace testsupport {

class RegistryFixture {
 public:
  virtual ~RegistryFixture() = default;

  // Key paths are below HKEY_LOCAL_MACHINE, components separated by backslashes. Each call makes
  // every key above the one it names; false when something could not be made.
  virtual bool AddKey(const std::string& path) = 0;
  // A value whose data is exactly `data`, whatever its bytes.
  virtual bool AddValue(const std::string& path, const std::string& name,
                        const std::string& data) = 0;
  // A string value as the registry stores one: the text, then its terminating zero.
  virtual bool AddString(const std::string& path, const std::string& name, const std::string& text);
  // What the tool's environment needs so that it reads this registry.
  virtual EnvList Environment() const = 0;

  // An instance key as a bus driver leaves it: FriendlyName, and Device Parameters\PortName.
  bool AddPort(const std::string& instanceKey, const std::string& friendlyName,
               const std::string& portName);
};

// The registry of the Wine prefix that MX40R_WINE_PREFIX names, filled with `wine reg add`. The
// bus roots the test touched are deleted again at the end, since every test shares the prefix.
class WineRegistry : public RegistryFixture {
 public:
  WineRegistry() = default;
  ~WineRegistry() override;
  WineRegistry(const WineRegistry&) = delete;
  WineRegistry& operator=(const WineRegistry&) = delete;

  bool AddKey(const std::string& path) override;
  bool AddValue(const std::string& path, const std::string& name, const std::string& data) override;
  // Plain text goes in as REG_SZ, the type a bus driver writes; other bytes as REG_BINARY.
  bool AddString(const std::string& path, const std::string& name,
                 const std::string& text) override;
  EnvList Environment() const override { return {}; }

 private:
  bool Reg(const std::vector<std::string>& arguments);
  void RememberRoot(const std::string& path);

  std::vector<std::string> roots_;
};

// The directory form: a fresh directory, removed with everything in it at the end.
class RegistryDirectory : public RegistryFixture {
 public:
  RegistryDirectory();
  ~RegistryDirectory() override;
  RegistryDirectory(const RegistryDirectory&) = delete;
  RegistryDirectory& operator=(const RegistryDirectory&) = delete;

  bool Ready() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  // The directory that stands for key `path`.
  std::string KeyDirectory(const std::string& path) const;

  bool AddKey(const std::string& path) override;
  bool AddValue(const std::string& path, const std::string& name, const std::string& data) override;
  EnvList Environment() const override { return {{"MX40R_REGISTRY_DIR", path_}}; }

 private:
  std::string path_;
};

}  // namespace testsupport
