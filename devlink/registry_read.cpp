#include "devlink/registry_read.h"

#include <algorithm>

namespace {

bool IsRegistryWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool EnumRegistrySubkeys(const std::string& path, std::vector<std::string>& out) {
  return EnumRegistrySubkeysIn(platform::kLocalMachineKey, path, out);
}

bool EnumRegistrySubkeysIn(platform::RegistryKey root, const std::string& path,
                           std::vector<std::string>& out) {
  platform::RegistryKey key = nullptr;
  if (platform::RegistryOpenKey(root, path.c_str(), &key) != platform::kRegistrySuccess) {
    return false;
  }
  char name[kRegistryNameBufferSize];
  for (std::uint32_t index = 0;; ++index) {
    if (platform::RegistryEnumKey(key, index, name, sizeof name) != platform::kRegistrySuccess) {
      break;
    }
    out.emplace_back(name, std::find(name, name + sizeof name, '\0'));
  }
  platform::RegistryCloseKey(key);
  return true;
}

bool ReadRegistryString(const std::string& path, const std::string& valueName, std::string& out) {
  return ReadRegistryStringIn(platform::kLocalMachineKey, path, valueName, out);
}

bool ReadRegistryStringIn(platform::RegistryKey root, const std::string& path,
                          const std::string& valueName, std::string& out) {
  QueryRegistryString(root, path, valueName, out);
  TrimRegistryText(out);
  return !out.empty();
}

bool QueryRegistryString(platform::RegistryKey root, const std::string& path,
                         const std::string& valueName, std::string& out) {
  platform::RegistryKey key = nullptr;
  if (platform::RegistryOpenKey(root, path.c_str(), &key) != platform::kRegistrySuccess) {
    return false;
  }
  std::uint8_t data[kRegistryValueBufferSize];
  std::uint32_t length = kRegistryValueBufferSize;
  const bool read = platform::RegistryQueryValue(key, valueName.c_str(), data, &length) ==
                    platform::kRegistrySuccess;
  if (read) out = RegistryValueText(data, std::min(length, kRegistryValueBufferSize));
  platform::RegistryCloseKey(key);
  return read;
}

std::string JoinRegistryPath(const std::string& base, const std::string& leaf) {
  return BuildRegistryPath(base, leaf);
}

std::string BuildRegistryPath(const std::string& base, const std::string& leaf) {
  return base + "\\" + leaf;
}

std::string RegistryValueText(const std::uint8_t* data, std::uint32_t length) {
  const std::uint8_t* end = std::find(data, data + length, std::uint8_t{0});
  return std::string(data, end);
}

void TrimRegistryText(std::string& text) {
  const auto first = std::find_if_not(text.begin(), text.end(), IsRegistryWhiteSpace);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), IsRegistryWhiteSpace).base();
  text = first < last ? std::string(first, last) : std::string();
}
