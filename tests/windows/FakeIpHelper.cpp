#include "FakeIpHelper.h"

#include <cstring>

namespace test {
namespace {

// Places records in a caller's buffer one after another; without a buffer it only
// measures what they would take.
class Arena {
 public:
  explicit Arena(void* base) : base_(static_cast<std::uint8_t*>(base)) {}

  template <typename T>
  T* Take(std::size_t count = 1) {
    used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
    T* place = base_ == nullptr ? nullptr : reinterpret_cast<T*>(base_ + used_);
    if (place != nullptr) std::memset(static_cast<void*>(place), 0, sizeof(T) * count);
    used_ += sizeof(T) * count;
    return place;
  }

  template <typename Char>
  Char* Text(const std::basic_string<Char>& text) {
    Char* place = Take<Char>(text.size() + 1);
    if (place != nullptr) std::memcpy(place, text.c_str(), (text.size() + 1) * sizeof(Char));
    return place;
  }

  std::size_t Used() const { return used_; }

 private:
  std::uint8_t* base_;
  std::size_t used_ = 0;
};

template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  std::strncpy(field, text.c_str(), N - 1);
  field[N - 1] = '\0';
}

void SetAddressString(IP_ADDR_STRING* entry, const std::string& address, const std::string& mask) {
  CopyText(entry->IpAddress.String, address);
  CopyText(entry->IpMask.String, mask);
}

// Fills a list head (embedded in its record) and links the further entries from the arena.
void FillAddressList(Arena& arena, IP_ADDR_STRING* head,
                     const std::vector<std::pair<std::string, std::string>>& entries) {
  IP_ADDR_STRING* last = head;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    IP_ADDR_STRING* entry = i == 0 ? head : arena.Take<IP_ADDR_STRING>();
    if (entry == nullptr) continue;
    SetAddressString(entry, entries[i].first, entries[i].second);
    if (i > 0 && last != nullptr) last->Next = entry;
    last = entry;
  }
  // An empty list reads as one unset entry, as the system writes it.
  if (entries.empty() && head != nullptr) SetAddressString(head, "0.0.0.0", "0.0.0.0");
}

std::vector<std::pair<std::string, std::string>> WithoutMasks(const std::vector<std::string>& addresses) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& address : addresses) entries.emplace_back(address, "255.255.255.255");
  return entries;
}

void LayOutAdaptersInfo(Arena& arena, const std::vector<FakeAdapter>& adapters) {
  IP_ADAPTER_INFO* previous = nullptr;
  for (const FakeAdapter& adapter : adapters) {
    if (!adapter.hasIpv4) continue;
    IP_ADAPTER_INFO* info = arena.Take<IP_ADAPTER_INFO>();
    if (info != nullptr) {
      CopyText(info->AdapterName, adapter.name);
      CopyText(info->Description, std::string(adapter.description.begin(), adapter.description.end()));
      info->Index = adapter.index;
      info->Type = adapter.type;
      info->HaveWins = adapter.haveWins ? TRUE : FALSE;
      SetAddressString(&info->PrimaryWinsServer, adapter.primaryWins, "");
      SetAddressString(&info->SecondaryWinsServer, adapter.secondaryWins, "");
      if (previous != nullptr) previous->Next = info;
    }
    FillAddressList(arena, info != nullptr ? &info->IpAddressList : nullptr, adapter.addresses);
    FillAddressList(arena, info != nullptr ? &info->GatewayList : nullptr, WithoutMasks(adapter.gateways));
    previous = info;
  }
}

void LayOutAdapterAddresses(Arena& arena, const std::vector<FakeAdapter>& adapters) {
  IP_ADAPTER_ADDRESSES* previous = nullptr;
  std::vector<IP_ADAPTER_ADDRESSES*> records;
  for (std::size_t i = 0; i < adapters.size(); ++i) records.push_back(arena.Take<IP_ADAPTER_ADDRESSES>());
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const FakeAdapter& adapter = adapters[i];
    IP_ADAPTER_ADDRESSES* entry = records[i];
    char* name = arena.Text(adapter.name);
    wchar_t* friendlyName = arena.Text(adapter.friendlyName);
    wchar_t* description = arena.Text(adapter.description);
    if (entry == nullptr) continue;
    entry->Length = sizeof *entry;
    entry->IfIndex = adapter.hasIpv4 ? adapter.index : 0;
    entry->Ipv6IfIndex = adapter.index;
    entry->AdapterName = name;
    entry->FriendlyName = friendlyName;
    entry->Description = description;
    entry->IfType = adapter.type;
    if (previous != nullptr) previous->Next = entry;
    previous = entry;
  }
}

// The system's answer for a caller buffer of *size bytes that needs needed bytes.
template <typename LayOut>
DWORD AnswerSized(void* buffer, ULONG* size, ULONG needed, DWORD tooSmall, LayOut layOut) {
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return tooSmall;
  }
  Arena arena(buffer);
  layOut(arena);
  return NO_ERROR;
}

}  // namespace

DWORD Address(const char* text) {
  in_addr address{};
  ::inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

MIB_IPFORWARDROW ForwardRow(const char* destination, const char* mask, const char* nextHop, DWORD interfaceIndex,
                            DWORD metric) {
  MIB_IPFORWARDROW row{};
  row.dwForwardDest = Address(destination);
  row.dwForwardMask = Address(mask);
  row.dwForwardNextHop = Address(nextHop);
  row.dwForwardIfIndex = interfaceIndex;
  row.dwForwardType = MIB_IPROUTE_TYPE_DIRECT;
  row.dwForwardProto = MIB_IPPROTO_LOCAL;
  row.dwForwardAge = 1234;
  row.dwForwardMetric1 = metric;
  row.dwForwardMetric2 = 7;
  row.dwForwardMetric3 = 8;
  row.dwForwardMetric4 = 9;
  row.dwForwardMetric5 = 10;
  return row;
}

DWORD FakeIpHelper::Answer(const char* call) const {
  const auto failure = failures.find(call);
  return failure == failures.end() ? NO_ERROR : failure->second;
}

ULONG FakeIpHelper::Needed(std::size_t bytes) {
  ULONG needed = static_cast<ULONG>(bytes);
  if (growthsLeft > 0) {
    --growthsLeft;
    needed += 64;
  }
  return needed;
}

ULONG FakeIpHelper::GetAdaptersInfo(IP_ADAPTER_INFO* buffer, ULONG* size) {
  if (const DWORD failure = Answer("GetAdaptersInfo")) return failure;
  Arena measure(nullptr);
  LayOutAdaptersInfo(measure, adapters);
  if (measure.Used() == 0) return ERROR_NO_DATA;
  return AnswerSized(buffer, size, Needed(measure.Used()), ERROR_BUFFER_OVERFLOW,
                     [&](Arena& arena) { LayOutAdaptersInfo(arena, adapters); });
}

ULONG FakeIpHelper::GetAdaptersAddresses(ULONG, ULONG, IP_ADAPTER_ADDRESSES* buffer, ULONG* size) {
  if (const DWORD failure = Answer("GetAdaptersAddresses")) return failure;
  if (adapters.empty()) return ERROR_NO_DATA;
  Arena measure(nullptr);
  LayOutAdapterAddresses(measure, adapters);
  return AnswerSized(buffer, size, Needed(measure.Used()), ERROR_BUFFER_OVERFLOW,
                     [&](Arena& arena) { LayOutAdapterAddresses(arena, adapters); });
}

DWORD FakeIpHelper::GetNetworkParams(FIXED_INFO* buffer, ULONG* size) {
  if (const DWORD failure = Answer("GetNetworkParams")) return failure;
  auto layOut = [&](Arena& arena) {
    FIXED_INFO* info = arena.Take<FIXED_INFO>();
    if (info != nullptr) CopyText(info->HostName, "fakehost");
    FillAddressList(arena, info != nullptr ? &info->DnsServerList : nullptr, WithoutMasks(dnsServers));
  };
  Arena measure(nullptr);
  layOut(measure);
  return AnswerSized(buffer, size, Needed(measure.Used()), ERROR_BUFFER_OVERFLOW, layOut);
}

DWORD FakeIpHelper::GetIfEntry(MIB_IFROW* row) {
  for (const FakeAdapter& adapter : adapters) {
    if (adapter.index != row->dwIndex) continue;
    if (adapter.ifEntryError != NO_ERROR) return adapter.ifEntryError;
    row->dwOperStatus = adapter.operStatus;
    return NO_ERROR;
  }
  return ERROR_INVALID_DATA;
}

DWORD FakeIpHelper::GetBestRoute(DWORD destination, DWORD, MIB_IPFORWARDROW* row) {
  bestRouteDestination = destination;
  if (const DWORD failure = Answer("GetBestRoute")) return failure;
  *row = bestRoute;
  return NO_ERROR;
}

DWORD FakeIpHelper::GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL sorted) {
  if (sorted) ++sortedTableReads;
  if (const DWORD failure = Answer("GetIpForwardTable")) return failure;
  const std::size_t bytes = offsetof(MIB_IPFORWARDTABLE, table) + routes.size() * sizeof(MIB_IPFORWARDROW);
  return AnswerSized(table, size, Needed(bytes), ERROR_INSUFFICIENT_BUFFER, [&](Arena&) {
    table->dwNumEntries = static_cast<DWORD>(routes.size());
    for (std::size_t i = 0; i < routes.size(); ++i) table->table[i] = routes[i];
  });
}

DWORD FakeIpHelper::CreateIpForwardEntry(MIB_IPFORWARDROW* row) {
  created.push_back(*row);
  return Answer("CreateIpForwardEntry");
}

DWORD FakeIpHelper::DeleteIpForwardEntry(MIB_IPFORWARDROW* row) {
  deleted.push_back(*row);
  return Answer("DeleteIpForwardEntry");
}

DWORD FakeIpHelper::SetIpForwardEntry(MIB_IPFORWARDROW* row) {
  changed.push_back(*row);
  return Answer("SetIpForwardEntry");
}

DWORD FakeIpHelper::FlushIpNetTable(DWORD interfaceIndex) {
  flushed.push_back(interfaceIndex);
  return Answer("FlushIpNetTable");
}

bool FakeIpHelper::HasIpInterfaceEntry() { return hasIpInterfaceEntry; }

void FakeIpHelper::InitializeIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) {
  std::memset(static_cast<void*>(row), 0, sizeof *row);
  row->Metric = 0xDEADu;  // the system's defaults, which a query overwrites
}

DWORD FakeIpHelper::GetIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) {
  interfaceQueries.push_back(*row);
  if (const DWORD failure = Answer("GetIpInterfaceEntry")) return failure;
  row->Metric = interfaceMetric;
  return NO_ERROR;
}

}  // namespace test
