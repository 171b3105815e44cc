#include "platform/HostNetwork.h"

#include <cstddef>
#include <cstring>
#include <map>

#include "platform/windows/IpHelper.h"
#include "platform/windows/WideText.h"
#include "platform/windows/Win32Error.h"

// IPv4 adapters, routes and neighbours through IP Helper. The adapter records come from
// GetAdaptersInfo (addresses, gateways, WINS servers in the system's order) joined with
// GetAdaptersAddresses (the friendly names users know adapters by).
namespace platform {

// A route's native row on Windows is its MIB_IPFORWARDROW as the system returned it.
class NativeRouteRowAccess {
 public:
  static NativeRouteRow FromRow(const MIB_IPFORWARDROW& row) {
    NativeRouteRow native;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&row);
    native.bytes_.assign(bytes, bytes + sizeof row);
    return native;
  }

  static bool ToRow(const NativeRouteRow& native, MIB_IPFORWARDROW* row) {
    if (native.bytes_.size() != sizeof *row) return false;
    std::memcpy(row, native.bytes_.data(), sizeof *row);
    return true;
  }
};

namespace {

constexpr DWORD kUnusedMetric = 0xFFFFFFFFu;

// The address of a dotted-decimal text of the system's records; 0 for an empty or
// malformed text, which the records use for "not set". Parsed here rather than by
// Winsock, whose parsers need the library started or a newer system.
std::uint32_t ParseRecordAddress(const char* text) {
  if (text == nullptr) return 0;
  std::uint32_t hostOrder = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return 0;
    unsigned value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 3; ++text, ++digits) value = value * 10 + unsigned(*text - '0');
    if (digits == 0 || value > 255) return 0;
    hostOrder = (hostOrder << 8) | value;
  }
  return *text == '\0' ? ::htonl(hostOrder) : 0;
}

// The records' address-string lists: the first entry is embedded, the rest linked.
template <typename Visit>
void ForEachAddressString(const IP_ADDR_STRING& first, Visit visit) {
  for (const IP_ADDR_STRING* entry = &first; entry != nullptr; entry = entry->Next) visit(*entry);
}

// GetIfEntry's operational states are the values of OperStatus. An adapter whose state
// cannot be read counts as working: a failed query must not hide a conflicting network.
OperStatus StatusOf(IpHelper& helper, DWORD interfaceIndex) {
  MIB_IFROW row{};
  row.dwIndex = interfaceIndex;
  if (helper.GetIfEntry(&row) != NO_ERROR || row.dwOperStatus > static_cast<DWORD>(OperStatus::Operational)) {
    return OperStatus::Operational;
  }
  return static_cast<OperStatus>(row.dwOperStatus);
}

Adapter AdapterFromInfo(IpHelper& helper, const IP_ADAPTER_INFO& info) {
  Adapter adapter;
  adapter.index = info.Index;
  adapter.name = info.AdapterName;
  adapter.description = info.Description;
  ForEachAddressString(info.IpAddressList, [&](const IP_ADDR_STRING& entry) {
    const std::uint32_t address = ParseRecordAddress(entry.IpAddress.String);
    if (address != 0) adapter.addresses.push_back({address, ParseRecordAddress(entry.IpMask.String)});
  });
  ForEachAddressString(info.GatewayList, [&](const IP_ADDR_STRING& entry) {
    const std::uint32_t gateway = ParseRecordAddress(entry.IpAddress.String);
    if (gateway != 0) adapter.gateways.push_back(gateway);
  });
  if (info.HaveWins) {
    adapter.primaryWins = ParseRecordAddress(info.PrimaryWinsServer.IpAddress.String);
    adapter.secondaryWins = ParseRecordAddress(info.SecondaryWinsServer.IpAddress.String);
  }
  adapter.status = StatusOf(helper, info.Index);
  adapter.loopback = info.Type == MIB_IF_TYPE_LOOPBACK;
  return adapter;
}

void AddNames(const IP_ADAPTER_ADDRESSES& entry, Adapter* adapter) {
  if (entry.FriendlyName != nullptr && entry.FriendlyName[0] != L'\0') {
    adapter->friendlyNames.push_back(WideToUtf8(entry.FriendlyName));
  }
  if (entry.Description != nullptr && entry.Description[0] != L'\0') {
    adapter->description = WideToUtf8(entry.Description);
  }
}

// An adapter that GetAdaptersInfo leaves out (loopback, no IPv4): known by its name only.
Adapter AdapterFromAddresses(IpHelper& helper, const IP_ADAPTER_ADDRESSES& entry) {
  Adapter adapter;
  adapter.index = entry.IfIndex != 0 ? entry.IfIndex : entry.Ipv6IfIndex;
  adapter.name = entry.AdapterName != nullptr ? entry.AdapterName : "";
  AddNames(entry, &adapter);
  adapter.status = StatusOf(helper, adapter.index);
  adapter.loopback = entry.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
  return adapter;
}

Route RouteFromRow(const MIB_IPFORWARDROW& row) {
  Route route;
  route.destination = row.dwForwardDest;
  route.mask = row.dwForwardMask;
  route.gateway = row.dwForwardNextHop;
  route.interfaceIndex = row.dwForwardIfIndex;
  route.metric = row.dwForwardMetric1;
  route.mainTable = true;  // Windows keeps one IPv4 routing table
  route.row = NativeRouteRowAccess::FromRow(row);
  return route;
}

bool IsContiguousMask(std::uint32_t mask) {
  const std::uint32_t hostOrder = ::ntohl(mask);
  return (~hostOrder & (~hostOrder + 1u)) == 0;
}

}  // namespace

Error ListAdapters(std::vector<Adapter>* adapters) {
  IpHelper& helper = CurrentIpHelper();
  std::vector<std::uint8_t> infoBuffer;
  std::vector<std::uint8_t> addressesBuffer;
  Error error = ReadAdaptersInfo(helper, &infoBuffer);
  if (error.Succeeded()) error = ReadAdapterAddresses(helper, &addressesBuffer);
  if (error.Failed()) return error;

  std::vector<Adapter> found;
  std::map<std::string, std::size_t> byName;
  for (const IP_ADAPTER_INFO* info = FirstAdapterInfo(infoBuffer); info != nullptr; info = info->Next) {
    byName[info->AdapterName] = found.size();
    found.push_back(AdapterFromInfo(helper, *info));
  }
  for (const IP_ADAPTER_ADDRESSES* entry = FirstAdapterAddresses(addressesBuffer); entry != nullptr;
       entry = entry->Next) {
    auto known = byName.find(entry->AdapterName != nullptr ? entry->AdapterName : "");
    if (known != byName.end()) {
      AddNames(*entry, &found[known->second]);
    } else {
      found.push_back(AdapterFromAddresses(helper, *entry));
    }
  }
  *adapters = std::move(found);
  return Error::Success();
}

// The TAP adapter keeps its friendly name whatever the device word says.
Error NameTunnelAdapter(std::uint32_t, const std::string&) { return Error::Success(); }

Error ListDnsServers(std::vector<std::uint32_t>* servers) {
  std::vector<std::uint8_t> buffer;
  Error error = ReadNetworkParams(CurrentIpHelper(), &buffer);
  if (error.Failed()) return error;
  const auto* params = reinterpret_cast<const FIXED_INFO*>(buffer.data());
  servers->clear();
  ForEachAddressString(params->DnsServerList, [&](const IP_ADDR_STRING& entry) {
    const std::uint32_t server = ParseRecordAddress(entry.IpAddress.String);
    if (server != 0) servers->push_back(server);
  });
  return Error::Success();
}

// Systems before Vista keep no IPv4 metric per interface: the metric is then unknown
// and the route's own metric stands alone.
Error InterfaceMetric(std::uint32_t interfaceIndex, std::optional<std::uint32_t>* metric) {
  IpHelper& helper = CurrentIpHelper();
  metric->reset();
  if (!helper.HasIpInterfaceEntry()) return Error::Success();
  MIB_IPINTERFACE_ROW row;
  helper.InitializeIpInterfaceEntry(&row);
  row.Family = AF_INET;
  row.InterfaceIndex = interfaceIndex;
  const DWORD result = helper.GetIpInterfaceEntry(&row);
  if (result != NO_ERROR) return Win32Error(result, "GetIpInterfaceEntry");
  *metric = row.Metric;
  return Error::Success();
}

Error BestRoute(std::uint32_t address, Route* route) {
  MIB_IPFORWARDROW row{};
  const DWORD result = CurrentIpHelper().GetBestRoute(address, 0, &row);
  if (result != NO_ERROR) return Win32Error(result, "GetBestRoute");
  *route = RouteFromRow(row);
  return Error::Success();
}

namespace {

// Windows checks the mask itself, but not on every version: a mask with holes is
// refused before the system sees it.
Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t interfaceIndex,
               std::uint32_t metric) {
  if (!IsContiguousMask(mask)) return Win32Error(ERROR_INVALID_PARAMETER, "route mask");
  MIB_IPFORWARDROW row{};
  row.dwForwardDest = destination;
  row.dwForwardMask = mask;
  row.dwForwardPolicy = 0;
  row.dwForwardNextHop = gateway;
  row.dwForwardIfIndex = interfaceIndex;
  row.dwForwardType = gateway != 0 ? MIB_IPROUTE_TYPE_INDIRECT : MIB_IPROUTE_TYPE_DIRECT;
  row.dwForwardProto = MIB_IPPROTO_NETMGMT;
  row.dwForwardAge = 0;
  row.dwForwardNextHopAS = 0;
  row.dwForwardMetric1 = metric;
  row.dwForwardMetric2 = kUnusedMetric;
  row.dwForwardMetric3 = kUnusedMetric;
  row.dwForwardMetric4 = kUnusedMetric;
  row.dwForwardMetric5 = kUnusedMetric;
  return Win32Error(CurrentIpHelper().CreateIpForwardEntry(&row), "CreateIpForwardEntry");
}

}  // namespace

Error DeleteRoute(const Route& route) {
  MIB_IPFORWARDROW row;
  if (!NativeRouteRowAccess::ToRow(route.row, &row)) return Win32Error(ERROR_INVALID_PARAMETER, "DeleteIpForwardEntry");
  return Win32Error(CurrentIpHelper().DeleteIpForwardEntry(&row), "DeleteIpForwardEntry");
}

// An IP Helper row has no field for the writer's mark: the service's own records alone
// tell its routes apart.
bool MarksOwnRoutes() { return false; }

// Deleted routes are not watched here: they come back with the tunnel's next CONNECTED.
struct RouteDeletionWatch::Native {};
RouteDeletionWatch::RouteDeletionWatch() = default;
RouteDeletionWatch::~RouteDeletionWatch() = default;
Error RouteDeletionWatch::Open() { return Error(ErrorKind::Other, ERROR_NOT_SUPPORTED, "route deletion watch"); }
RouteDeletionWatch::Wake RouteDeletionWatch::Wait(std::chrono::milliseconds, std::vector<Route>*) {
  return Wake::Failed;
}
void RouteDeletionWatch::Interrupt() {}

namespace {

Error ListRoutes(std::vector<Route>* routes) {
  std::vector<std::uint8_t> buffer;
  Error error = ReadForwardTable(CurrentIpHelper(), &buffer);
  if (error.Failed()) return error;
  const auto* table = reinterpret_cast<const MIB_IPFORWARDTABLE*>(buffer.data());
  const std::size_t fitting = (buffer.size() - offsetof(MIB_IPFORWARDTABLE, table)) / sizeof(MIB_IPFORWARDROW);
  const std::size_t count = table->dwNumEntries < fitting ? table->dwNumEntries : fitting;
  routes->clear();
  for (std::size_t i = 0; i < count; ++i) routes->push_back(RouteFromRow(table->table[i]));
  return Error::Success();
}

// The row goes back exactly as read with only its first metric changed: the system
// finds the entry by its other fields.
Error ChangeRouteMetric(const Route& route, std::uint32_t metric) {
  MIB_IPFORWARDROW row;
  if (!NativeRouteRowAccess::ToRow(route.row, &row)) return Win32Error(ERROR_INVALID_PARAMETER, "SetIpForwardEntry");
  row.dwForwardMetric1 = metric;
  return Win32Error(CurrentIpHelper().SetIpForwardEntry(&row), "SetIpForwardEntry");
}

Error FlushNeighbours(std::uint32_t interfaceIndex) {
  return Win32Error(CurrentIpHelper().FlushIpNetTable(interfaceIndex), "FlushIpNetTable");
}

// IP Helper keeps no connection between calls: a request's reads and writes are the
// calls themselves.
class SystemHostNetwork : public HostNetwork {
 public:
  HostSnapshot Snapshot(unsigned parts) override {
    HostSnapshot snapshot;
    if ((parts & HostSnapshot::kAdapters) != 0) {
      snapshot.adaptersError = ListAdapters(&snapshot.adapters);
      for (const Adapter& adapter : snapshot.adapters) {
        HostSnapshot::InterfaceMetricEntry entry{adapter.index, std::nullopt, Error::Success()};
        entry.error = InterfaceMetric(adapter.index, &entry.metric);
        snapshot.interfaceMetrics.push_back(entry);
      }
    }
    if ((parts & HostSnapshot::kRoutes) != 0) snapshot.routesError = ListRoutes(&snapshot.routes);
    if ((parts & HostSnapshot::kDnsServers) != 0) snapshot.dnsError = ListDnsServers(&snapshot.dnsServers);
    return snapshot;
  }
  Error BestRoute(std::uint32_t address, Route* route) override { return platform::BestRoute(address, route); }
  Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t interfaceIndex,
                 std::uint32_t metric) override {
    return platform::AddRoute(destination, mask, gateway, interfaceIndex, metric);
  }
  Error DeleteRoute(const Route& route) override { return platform::DeleteRoute(route); }
  Error ChangeRouteMetric(const Route& route, std::uint32_t metric) override {
    return platform::ChangeRouteMetric(route, metric);
  }
  Error FlushNeighbours(std::uint32_t interfaceIndex) override { return platform::FlushNeighbours(interfaceIndex); }
  // Windows gives every interface a 255.255.255.255/32 route of its own.
  bool KeepsBroadcastRoutePerInterface() const override { return true; }
};

}  // namespace

std::unique_ptr<HostNetwork> OpenHostNetwork() { return std::make_unique<SystemHostNetwork>(); }

}  // namespace platform
