// The computer's table of network adapters with their IPv4 addresses, as Windows' IP Helper
// gives it: one block that the caller supplies, sized by a first query, holding a chain of adapter
// records, each with a chain of address entries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kErrorBufferOverflow = 111;
// There is no adapter at all.
inline constexpr std::uint32_t kErrorNoData = 232;

inline constexpr std::uint32_t kAdapterTypeOther = 1;
inline constexpr std::uint32_t kAdapterTypeEthernet = 6;
inline constexpr std::uint32_t kAdapterTypePpp = 23;
inline constexpr std::uint32_t kAdapterTypeWireless = 71;
inline constexpr std::uint32_t kAdapterTypeTunnel = 131;

// Records in a table block; only the functions below read them.
struct AdapterRecord;
struct AdapterAddressEntry;

// With no block (`table` null, *size 0): kErrorBufferOverflow and the size needed in *size, or
// kErrorNoData when there is no adapter. With a block of *size bytes: 0 and the table in the
// block, or kErrorBufferOverflow and the new size when the table has grown since.
std::uint32_t QueryAdapterTable(AdapterRecord* table, std::uint32_t* size);

// The first record of a filled block is at its start; null ends each chain.
const AdapterRecord* NextAdapter(const AdapterRecord* adapter);
std::uint32_t AdapterType(const AdapterRecord* adapter);
// The first entry is part of the record, so every adapter has one.
const AdapterAddressEntry* FirstAdapterAddress(const AdapterRecord* adapter);
const AdapterAddressEntry* NextAdapterAddress(const AdapterAddressEntry* entry);
// Dotted-decimal text, at most 15 characters; "0.0.0.0" for an adapter without an address.
const char* AdapterAddressText(const AdapterAddressEntry* entry);

// A fixed, zero-filled block of memory for the table, or null; and its release.
void* AllocateZeroedBlock(std::size_t size);
void FreeBlock(void* block);

}  // namespace platform
