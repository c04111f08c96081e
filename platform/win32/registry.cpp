// The device registry on Windows: the advapi32 calls below HKEY_LOCAL_MACHINE, passed through.
#include "platform/registry.h"

#include <windows.h>

namespace platform {
namespace {

HKEY ToKey(RegistryKey key) {
  return key == kLocalMachineKey ? HKEY_LOCAL_MACHINE : static_cast<HKEY>(key);
}

}  // namespace

std::int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey* key) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyA(ToKey(root), path, &opened);
  if (result == ERROR_SUCCESS) *key = opened;
  return static_cast<std::int32_t>(result);
}

std::int32_t RegistryEnumKey(RegistryKey key, std::uint32_t index, char* name,
                             std::uint32_t nameSize) {
  return static_cast<std::int32_t>(RegEnumKeyA(ToKey(key), index, name, nameSize));
}

std::int32_t RegistryQueryValue(RegistryKey key, const char* valueName, std::uint8_t* data,
                                std::uint32_t* size) {
  DWORD length = *size;
  const LONG result = RegQueryValueExA(ToKey(key), valueName, nullptr, nullptr, data, &length);
  *size = length;
  return static_cast<std::int32_t>(result);
}

void RegistryCloseKey(RegistryKey key) { RegCloseKey(ToKey(key)); }

}  // namespace platform
