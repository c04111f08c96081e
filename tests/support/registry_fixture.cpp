#include "tests/support/registry_fixture.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace testsupport {

bool RegistryFixture::AddString(const std::string& path, const std::string& name,
                                const std::string& text) {
  return AddValue(path, name, text + std::string(1, '\0'));
}

bool RegistryFixture::AddPort(const std::string& instanceKey, const std::string& friendlyName,
                              const std::string& portName) {
  return AddString(instanceKey, "FriendlyName", friendlyName) &&
         AddString(instanceKey + "\\Device Parameters", "PortName", portName);
}

RegistryDirectory::RegistryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mx40r-registry-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

RegistryDirectory::~RegistryDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string RegistryDirectory::KeyDirectory(const std::string& path) const {
  std::string directory = path_;
  if (!path.empty()) directory += "/" + path;
  for (std::string::size_type i = path_.size(); i < directory.size(); ++i) {
    if (directory[i] == '\\') directory[i] = '/';
  }
  return directory;
}

bool RegistryDirectory::AddKey(const std::string& path) {
  if (path_.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(KeyDirectory(path), error);
  return !error && std::filesystem::is_directory(KeyDirectory(path));
}

bool RegistryDirectory::AddValue(const std::string& path, const std::string& name,
                                 const std::string& data) {
  if (!AddKey(path)) return false;
  std::ofstream file(KeyDirectory(path) + "/" + name, std::ios::binary | std::ios::trunc);
  file.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(file.flush());
}

}  // namespace testsupport
