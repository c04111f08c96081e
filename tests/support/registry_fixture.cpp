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

namespace {

constexpr char kLocalMachine[] = "HKEY_LOCAL_MACHINE\\";
constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";

std::string HexBytes(const std::string& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : data) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

bool IsPlainText(const std::string& text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

WineRegistry::~WineRegistry() {
  for (const std::string& root : roots_) Reg({"delete", kLocalMachine + root, "/f"});
}

bool WineRegistry::Reg(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"wine", "reg"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const RunResult result = RunCommand(command, {{"WINEDEBUG", "-all"}}, 60000);
  return !result.timedOut && result.exitStatus == 0;
}

// The bus root (Enum\FTDIBUS, say) that holds `path`, or the path itself outside Enum.
void WineRegistry::RememberRoot(const std::string& path) {
  std::string root = path;
  const std::string::size_type enumAt = path.find(kEnumKey);
  if (enumAt == 0) {
    const std::string::size_type end = path.find('\\', sizeof(kEnumKey) - 1);
    root = path.substr(0, end);
  }
  for (const std::string& known : roots_) {
    if (known == root) return;
  }
  roots_.push_back(root);
}

bool WineRegistry::AddKey(const std::string& path) {
  RememberRoot(path);
  return Reg({"add", kLocalMachine + path, "/f"});
}

bool WineRegistry::AddValue(const std::string& path, const std::string& name,
                            const std::string& data) {
  RememberRoot(path);
  return Reg({"add", kLocalMachine + path, "/v", name, "/t", "REG_BINARY", "/d", HexBytes(data),
              "/f"});
}

bool WineRegistry::AddString(const std::string& path, const std::string& name,
                             const std::string& text) {
  if (!IsPlainText(text)) return RegistryFixture::AddString(path, name, text);
  RememberRoot(path);
  return Reg({"add", kLocalMachine + path, "/v", name, "/t", "REG_SZ", "/d", text, "/f"});
}

}  // namespace testsupport
