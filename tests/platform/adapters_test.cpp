// The adapter table and ListIpAddresses in network namespaces that the test makes, with veth
// interfaces whose addresses it chooses.
#include "platform/adapters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devlink/net.h"
#include "tests/support/net_namespace.h"

namespace {

using testsupport::NetNamespace;
using Texts = std::vector<std::string>;

struct Listing {
  int result = -1;
  Texts addresses;
};

Listing ListIn(const NetNamespace& ns, const Texts& before) {
  return testsupport::RunInNamespace<Listing>(ns, [&before] {
    Listing listing;
    listing.addresses = before;
    listing.result = ListIpAddresses(listing.addresses);
    return listing;
  });
}

class AdapterTable : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!NetNamespace::Available(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(ns_.Create(&why)) << why;
  }

  void Add(const std::vector<std::vector<std::string>>& commands) {
    for (const auto& command : commands) {
      std::string why;
      ASSERT_TRUE(ns_.Ip(command, &why)) << why;
    }
  }

  NetNamespace ns_{"adapters"};
};

TEST_F(AdapterTable, LoopbackAloneIsNoAdapterAtAll) {
  const Listing listing = ListIn(ns_, {"kept"});
  EXPECT_EQ(listing.result, 1);
  EXPECT_EQ(listing.addresses, Texts{"kept"});
  const std::uint32_t query = testsupport::RunInNamespace<std::uint32_t>(ns_, [] {
    std::uint32_t size = 0;
    return platform::QueryAdapterTable(nullptr, &size);
  });
  EXPECT_EQ(query, platform::kErrorNoData);
}

TEST_F(AdapterTable, EthernetAddressesInTableOrderAfterExistingEntries) {
  std::string why;
  ASSERT_TRUE(testsupport::AddVethPair(ns_, "mxa", ns_, "mxb", &why)) << why;
  ASSERT_TRUE(testsupport::AddVethPair(ns_, "mxc", ns_, "mxd", &why)) << why;
  Add({{"addr", "add", "10.202.0.1/24", "dev", "mxa"},
       {"addr", "add", "10.202.0.2/24", "dev", "mxa"},
       {"addr", "add", "10.202.9.9/24", "dev", "mxa", "label", "mxa:1"},
       {"addr", "add", "10.202.1.1/24", "dev", "mxd"},
       {"addr", "add", "10.202.0.1/32", "dev", "mxd"}});
  const Listing listing = ListIn(ns_, {"kept", "10.202.1.1"});
  EXPECT_EQ(listing.result, 0);
  // mxb and mxc have no address: their "0.0.0.0" is skipped. Nothing is merged or sorted; the
  // kernel keeps an interface's primary addresses (10.202.9.9 is one) ahead of secondaries.
  EXPECT_EQ(listing.addresses, (Texts{"kept", "10.202.1.1", "10.202.0.1", "10.202.9.9",
                                      "10.202.0.2", "10.202.1.1", "10.202.0.1"}));
}

TEST_F(AdapterTable, TableHasEveryAdapterButLoopbackAndSizesItsBlock) {
  std::string why;
  ASSERT_TRUE(testsupport::AddVethPair(ns_, "mxa", ns_, "mxb", &why)) << why;
  Add({{"addr", "add", "10.202.0.1/24", "dev", "mxa"},
       {"addr", "add", "10.202.0.2/24", "dev", "mxa"}});
  struct Table {
    std::uint32_t sizeQuery = 0;
    std::uint32_t size = 0;
    std::uint32_t tooSmall = 0;
    std::uint32_t filled = 0;
    std::vector<Texts> adapters;  // type, then the address texts
  };
  const Table table = testsupport::RunInNamespace<Table>(ns_, [] {
    Table t;
    t.sizeQuery = platform::QueryAdapterTable(nullptr, &t.size);
    std::uint32_t smaller = t.size - 1;
    void* block = platform::AllocateZeroedBlock(t.size);
    auto* records = static_cast<platform::AdapterRecord*>(block);
    t.tooSmall = platform::QueryAdapterTable(records, &smaller);
    std::uint32_t size = t.size;
    t.filled = platform::QueryAdapterTable(records, &size);
    for (const platform::AdapterRecord* a = records; t.filled == 0 && a != nullptr;
         a = platform::NextAdapter(a)) {
      Texts entry = {std::to_string(platform::AdapterType(a))};
      for (const platform::AdapterAddressEntry* e = platform::FirstAdapterAddress(a); e != nullptr;
           e = platform::NextAdapterAddress(e)) {
        entry.emplace_back(platform::AdapterAddressText(e));
      }
      t.adapters.push_back(entry);
    }
    platform::FreeBlock(block);
    return t;
  });
  EXPECT_EQ(table.sizeQuery, platform::kErrorBufferOverflow);
  EXPECT_EQ(table.tooSmall, platform::kErrorBufferOverflow);
  EXPECT_EQ(table.filled, 0u);
  ASSERT_EQ(table.adapters.size(), 2u) << "two veth adapters, no loopback";
  // Which end of a pair comes first is the kernel's choice.
  const Texts withAddresses = {"6", "10.202.0.1", "10.202.0.2"};
  const Texts without = {"6", "0.0.0.0"};
  EXPECT_TRUE((table.adapters[0] == withAddresses && table.adapters[1] == without) ||
              (table.adapters[0] == without && table.adapters[1] == withAddresses));
}

}  // namespace
