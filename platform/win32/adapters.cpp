// IP Helper's adapter table, passed through: the records are IP_ADAPTER_INFO and
// IP_ADDR_STRING as GetAdaptersInfo lays them out in the caller's GlobalAlloc block.
#include "platform/adapters.h"

// Windows Sockets' header must come before IP Helper's, which the sorting would undo.
// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

namespace platform {
namespace {

const IP_ADAPTER_INFO* Native(const AdapterRecord* adapter) {
  return reinterpret_cast<const IP_ADAPTER_INFO*>(adapter);
}

const IP_ADDR_STRING* Native(const AdapterAddressEntry* entry) {
  return reinterpret_cast<const IP_ADDR_STRING*>(entry);
}

}  // namespace

std::uint32_t QueryAdapterTable(AdapterRecord* table, std::uint32_t* size) {
  ULONG nativeSize = *size;
  const DWORD result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(table), &nativeSize);
  *size = nativeSize;
  return result;
}

const AdapterRecord* NextAdapter(const AdapterRecord* adapter) {
  return reinterpret_cast<const AdapterRecord*>(Native(adapter)->Next);
}

std::uint32_t AdapterType(const AdapterRecord* adapter) { return Native(adapter)->Type; }

const AdapterAddressEntry* FirstAdapterAddress(const AdapterRecord* adapter) {
  return reinterpret_cast<const AdapterAddressEntry*>(&Native(adapter)->IpAddressList);
}

const AdapterAddressEntry* NextAdapterAddress(const AdapterAddressEntry* entry) {
  return reinterpret_cast<const AdapterAddressEntry*>(Native(entry)->Next);
}

const char* AdapterAddressText(const AdapterAddressEntry* entry) {
  return Native(entry)->IpAddress.String;
}

void* AllocateZeroedBlock(std::size_t size) { return GlobalAlloc(GPTR, size); }

void FreeBlock(void* block) { GlobalFree(block); }

}  // namespace platform
