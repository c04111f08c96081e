// The device registry, read only: the keys below which the bus drivers list the serial ports they
// have seen. On Windows it is the system registry; on Linux a tree made from the ttys in sysfs, or
// a directory that stands for it.
#pragma once

#include <cstdint>

namespace platform {

// An open key, or one of the predefined roots. Opaque above this layer.
using RegistryKey = void*;
// The machine-wide root that every device key is below. Never closed.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
inline RegistryKey const kLocalMachineKey = reinterpret_cast<RegistryKey>(std::uintptr_t{1});

// Results in Windows numbering on every target; callers only tell 0 from the rest.
inline constexpr std::int32_t kRegistrySuccess = 0;
inline constexpr std::int32_t kRegistryNotFound = 2;
inline constexpr std::int32_t kRegistryMoreData = 234;
inline constexpr std::int32_t kRegistryNoMoreItems = 259;

// Opens `path` (components separated by single backslashes; empty: `root` itself) below `root`.
// 0 with the key in `key`, or a non-zero result with `key` untouched.
std::int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey* key);
// The name of subkey `index` as zero-terminated text in `name` (room for `nameSize` bytes, the zero
// included): 0; kRegistryNoMoreItems past the last subkey; kRegistryMoreData when it does not fit.
std::int32_t RegistryEnumKey(RegistryKey key, std::uint32_t index, char* name,
                             std::uint32_t nameSize);
// The data of value `valueName`, as stored, into `data` (room for *size bytes): 0 with the length
// in *size; kRegistryMoreData (with the length needed in *size) when it does not fit; another
// non-zero result when there is no such value.
std::int32_t RegistryQueryValue(RegistryKey key, const char* valueName, std::uint8_t* data,
                                std::uint32_t* size);
// Releases a key that RegistryOpenKey gave.
void RegistryCloseKey(RegistryKey key);

}  // namespace platform
