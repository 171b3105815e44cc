#include <gtest/gtest.h>

#include "FakeIpHelper.h"
#include "platform/Interfaces.h"

namespace {

test::FakeAdapter Named(const std::wstring& friendlyName, DWORD index) {
  return test::FakeAdapter("{adapter-" + std::to_string(index) + "}", index, friendlyName);
}

TEST(InterfacesTest, InterfaceIsKnownByItsExactFriendlyName) {
  test::FakeIpHelper fake;
  platform::ScopedIpHelper scope(fake);
  fake.adapters = {Named(L"Ethernet", 11), Named(L"Vortan-Dashlet", 17), Named(L"WLAN \u00fcber", 12)};
  struct Case {
    std::string name;
    bool exists;
  };
  const Case cases[] = {
      {"Vortan-Dashlet", true},
      {"Ethernet", true},
      {"WLAN \xc3\xbc" "ber", true},  // UTF-8 text against the system's UTF-16 name
      {"vortan-dashlet", false},      // names differ by letter case
      {"Vortan", false},
      {"Vortan-Dashlet ", false},
      {"", false},
      {std::string(platform::MaxInterfaceNameLength() + 1, 'x'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::InterfaceExists(c.name), c.exists) << "'" << c.name << "'";
}

TEST(InterfacesTest, UnreadableAdapterListKnowsNoInterface) {
  test::FakeIpHelper fake;
  platform::ScopedIpHelper scope(fake);
  fake.adapters = {Named(L"Vortan-Dashlet", 17)};
  fake.failures["GetAdaptersAddresses"] = ERROR_NOT_ENOUGH_MEMORY;
  EXPECT_FALSE(platform::InterfaceExists("Vortan-Dashlet"));
}

TEST(InterfacesTest, FriendlyNamesRunToTheSystemsLimit) { EXPECT_EQ(platform::MaxInterfaceNameLength(), 256u); }

}  // namespace
