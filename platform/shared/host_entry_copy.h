// Both socket libraries hand back a hostent of the same shape; the copy into the tool's own entry
// is the same on each, so it lives once here, written against whatever hostent the backend has.
#pragma once

#include "platform/sockets.h"

#include <cstddef>
#include <cstring>

namespace platform {

// Keeps the first address only, cut to the entry's room, and counts every address listed.
template <typename Hostent>
void CopyHostEntry(const Hostent& found, HostEntry& entry) {
  entry.addressType = found.h_addrtype;
  entry.addressLength = found.h_length < 0 ? 0 : found.h_length;
  if (entry.addressLength > static_cast<int>(sizeof entry.firstAddress)) {
    entry.addressLength = sizeof entry.firstAddress;
  }
  entry.addressCount = 0;
  if (found.h_addr_list != nullptr) {
    while (found.h_addr_list[entry.addressCount] != nullptr) ++entry.addressCount;
  }
  if (entry.addressCount > 0) {
    std::memcpy(entry.firstAddress, found.h_addr_list[0],
                static_cast<std::size_t>(entry.addressLength));
  }
}

}  // namespace platform
