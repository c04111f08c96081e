// Reading the device registry, as port discovery walks it: the names of a key's subkeys, one value
// as trimmed text, and key paths joined with a backslash. Nothing is written, printed or kept
// between calls; the result and the output argument are all a caller learns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

// Room for one subkey name and its terminating zero.
inline constexpr std::uint32_t kRegistryNameBufferSize = 260;
// Room for a value's data: a larger value cannot be read. Data that fills it without a zero byte
// is still a whole text of that length.
inline constexpr std::uint32_t kRegistryValueBufferSize = 260;

bool EnumRegistrySubkeys(const std::string& path, std::vector<std::string>& out);
// Appends the names of the direct subkeys of `path` below `root` to `out`, in the registry's
// order; true when the key could be opened, whatever ended the listing.
bool EnumRegistrySubkeysIn(platform::RegistryKey root, const std::string& path,
                           std::vector<std::string>& out);

bool ReadRegistryString(const std::string& path, const std::string& valueName, std::string& out);
// QueryRegistryString, then `out` trimmed; true when anything of `out` remains.
bool ReadRegistryStringIn(platform::RegistryKey root, const std::string& path,
                          const std::string& valueName, std::string& out);
// Replaces `out` with the value's text when the value can be read; leaves it as it was otherwise.
bool QueryRegistryString(platform::RegistryKey root, const std::string& path,
                         const std::string& valueName, std::string& out);

std::string JoinRegistryPath(const std::string& base, const std::string& leaf);
// `base`, one backslash, `leaf`: no character of either is looked at.
std::string BuildRegistryPath(const std::string& base, const std::string& leaf);

// The pure halves of the reads.

// A value's data as text, whatever its type: the bytes before the first zero, or all of them.
std::string RegistryValueText(const std::uint8_t* data, std::uint32_t length);
// Removes the space and the controls 0x09 to 0x0D from both ends; no other byte is white space.
void TrimRegistryText(std::string& text);
