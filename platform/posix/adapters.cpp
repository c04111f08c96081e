// The adapter table built from getifaddrs, in the shape Windows gives it: every interface but
// loopback is an adapter, Ethernet told apart from wireless and tunnels, and an adapter without an
// IPv4 address reports 0.0.0.0.
#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace platform {

struct AdapterAddressEntry {
  const AdapterAddressEntry* next;
  char text[16];
};

struct AdapterRecord {
  const AdapterRecord* next;
  std::uint32_t type;
  AdapterAddressEntry firstAddress;
};

namespace {

// ERROR_INVALID_PARAMETER and ERROR_GEN_FAILURE, as Windows would answer.
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorGenFailure = 31;

struct Adapter {
  std::string name;
  std::uint32_t type = kAdapterTypeOther;
  std::vector<std::string> addresses;
};

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// /sys/class/net shows the devices of the namespace that sysfs was mounted in, which need not be
// the caller's: its entries count only when the device there has the caller's interface index.
bool IsWireless(const std::string& name, int ifindex) {
  const std::string dir = "/sys/class/net/" + name;
  std::ifstream indexFile(dir + "/ifindex");
  int sysIndex = -1;
  if (!(indexFile >> sysIndex) || sysIndex != ifindex) return false;
  return Exists(dir + "/wireless") || Exists(dir + "/phy80211");
}

// The kernel's device type (as /sys/class/net/<if>/type gives it) to the adapter type.
bool AdapterTypeOf(const sockaddr_ll& link, const std::string& name, std::uint32_t* type) {
  switch (link.sll_hatype) {
    case ARPHRD_LOOPBACK:
      return false;
    case ARPHRD_ETHER:
      *type = IsWireless(name, link.sll_ifindex) ? kAdapterTypeWireless : kAdapterTypeEthernet;
      return true;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      *type = kAdapterTypeWireless;
      return true;
    case ARPHRD_PPP:
      *type = kAdapterTypePpp;
      return true;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
    case ARPHRD_NONE:
      *type = kAdapterTypeTunnel;
      return true;
    default:
      *type = kAdapterTypeOther;
      return true;
  }
}

// An address's label is its device's name, or the name followed by ":" and an alias.
bool LabelOf(const std::string& label, const std::string& device) {
  return label.compare(0, device.size(), device) == 0 &&
         (label.size() == device.size() || label[device.size()] == ':');
}

bool ReadAdapters(std::vector<Adapter>* adapters) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  // Link entries come first, one per interface in the kernel's order; addresses follow.
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    Adapter adapter;
    adapter.name = entry->ifa_name;
    if (AdapterTypeOf(*reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr), adapter.name,
                      &adapter.type)) {
      adapters->push_back(adapter);
    }
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
    for (Adapter& adapter : *adapters) {
      if (LabelOf(entry->ifa_name, adapter.name)) {
        adapter.addresses.emplace_back(text);
        break;
      }
    }
  }
  freeifaddrs(list);
  for (Adapter& adapter : *adapters) {
    if (adapter.addresses.empty()) adapter.addresses.emplace_back("0.0.0.0");
  }
  return true;
}

void PutText(AdapterAddressEntry* entry, const std::string& text) {
  std::strncpy(entry->text, text.c_str(), sizeof entry->text - 1);
  entry->text[sizeof entry->text - 1] = '\0';
}

}  // namespace

std::uint32_t QueryAdapterTable(AdapterRecord* table, std::uint32_t* size) {
  if (size == nullptr) return kErrorInvalidParameter;
  std::vector<Adapter> adapters;
  if (!ReadAdapters(&adapters)) return kErrorGenFailure;
  if (adapters.empty()) return kErrorNoData;
  std::size_t extraEntries = 0;
  for (const Adapter& adapter : adapters) extraEntries += adapter.addresses.size() - 1;
  const std::size_t needed =
      adapters.size() * sizeof(AdapterRecord) + extraEntries * sizeof(AdapterAddressEntry);
  if (table == nullptr || *size < needed) {
    *size = static_cast<std::uint32_t>(needed);
    return kErrorBufferOverflow;
  }
  std::memset(static_cast<void*>(table), 0, needed);
  auto* extra = reinterpret_cast<AdapterAddressEntry*>(table + adapters.size());
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    AdapterRecord& record = table[i];
    record.next = i + 1 < adapters.size() ? &table[i + 1] : nullptr;
    record.type = adapters[i].type;
    AdapterAddressEntry* last = &record.firstAddress;
    PutText(last, adapters[i].addresses[0]);
    for (std::size_t k = 1; k < adapters[i].addresses.size(); ++k) {
      PutText(extra, adapters[i].addresses[k]);
      last->next = extra;
      last = extra++;
    }
  }
  return 0;
}

const AdapterRecord* NextAdapter(const AdapterRecord* adapter) { return adapter->next; }

std::uint32_t AdapterType(const AdapterRecord* adapter) { return adapter->type; }

const AdapterAddressEntry* FirstAdapterAddress(const AdapterRecord* adapter) {
  return &adapter->firstAddress;
}

const AdapterAddressEntry* NextAdapterAddress(const AdapterAddressEntry* entry) {
  return entry->next;
}

const char* AdapterAddressText(const AdapterAddressEntry* entry) { return entry->text; }

void* AllocateZeroedBlock(std::size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

void FreeBlock(void* block) { std::free(block); }

}  // namespace platform
