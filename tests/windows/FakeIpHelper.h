#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows/IpHelper.h"

// A host's IP Helper in memory: the adapters, DNS servers and routing table a test sets
// up, answered with the system's buffer protocol (size query, overflow, linked records),
// and every write recorded instead of done.
namespace test {

struct FakeAdapter {
  FakeAdapter(std::string id, DWORD ifIndex, std::wstring friendly, std::wstring describedAs = L"")
      : name(std::move(id)),
        index(ifIndex),
        friendlyName(std::move(friendly)),
        description(std::move(describedAs)) {}

  std::string name;  // the adapter's identifier (a GUID text on Windows)
  DWORD index = 0;
  std::wstring friendlyName;
  std::wstring description;
  std::vector<std::pair<std::string, std::string>> addresses;  // address, mask
  std::vector<std::string> gateways;
  bool haveWins = false;
  std::string primaryWins;
  std::string secondaryWins;
  UINT type = MIB_IF_TYPE_ETHERNET;
  DWORD operStatus = MIB_IF_OPER_STATUS_OPERATIONAL;
  DWORD ifEntryError = NO_ERROR;
  bool hasIpv4 = true;  // listed by GetAdaptersInfo
};

MIB_IPFORWARDROW ForwardRow(const char* destination, const char* mask, const char* nextHop, DWORD interfaceIndex,
                            DWORD metric);
DWORD Address(const char* text);

class FakeIpHelper : public platform::IpHelper {
 public:
  std::vector<FakeAdapter> adapters;
  std::vector<std::string> dnsServers;
  std::vector<MIB_IPFORWARDROW> routes;

  // Failures of the calls by the call's name ("GetAdaptersInfo"); NO_ERROR for the others.
  std::map<std::string, DWORD> failures;
  MIB_IPFORWARDROW bestRoute{};
  // Every table grows by this many bytes after each size answer, this many times.
  int growthsLeft = 0;

  bool hasIpInterfaceEntry = true;
  ULONG interfaceMetric = 0;

  // What the calls were given.
  std::vector<MIB_IPFORWARDROW> created;
  std::vector<MIB_IPFORWARDROW> deleted;
  std::vector<MIB_IPFORWARDROW> changed;
  std::vector<DWORD> flushed;
  std::vector<MIB_IPINTERFACE_ROW> interfaceQueries;
  DWORD bestRouteDestination = 0;
  int sortedTableReads = 0;

  ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapters, ULONG* size) override;
  ULONG GetAdaptersAddresses(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* adapters, ULONG* size) override;
  DWORD GetNetworkParams(FIXED_INFO* info, ULONG* size) override;
  DWORD GetIfEntry(MIB_IFROW* row) override;
  DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* row) override;
  DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL sorted) override;
  DWORD CreateIpForwardEntry(MIB_IPFORWARDROW* row) override;
  DWORD DeleteIpForwardEntry(MIB_IPFORWARDROW* row) override;
  DWORD SetIpForwardEntry(MIB_IPFORWARDROW* row) override;
  DWORD FlushIpNetTable(DWORD interfaceIndex) override;
  bool HasIpInterfaceEntry() override;
  void InitializeIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) override;
  DWORD GetIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) override;

 private:
  DWORD Answer(const char* call) const;
  // The size a table needs now, grown while growthsLeft lasts.
  ULONG Needed(std::size_t bytes);
};

}  // namespace test
