#include "platform/windows/IpHelper.h"

#include <atomic>

#include "platform/windows/Win32Error.h"

namespace platform {
namespace {

using InitializeIpInterfaceEntryCall = VOID(WINAPI*)(PMIB_IPINTERFACE_ROW);
using GetIpInterfaceEntryCall = DWORD(WINAPI*)(PMIB_IPINTERFACE_ROW);

// A FARPROC goes through the generic function type, which converts to any other.
template <typename Call>
Call ExportOf(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The interface-row calls are looked up, not imported: a program importing them does not
// start on systems before Vista, and Wine does not export them at all.
struct InterfaceEntryCalls {
  InitializeIpInterfaceEntryCall initialize = nullptr;
  GetIpInterfaceEntryCall get = nullptr;
};

const InterfaceEntryCalls& LookUpInterfaceEntryCalls() {
  static const InterfaceEntryCalls calls = [] {
    // Loaded with the program: the other IP Helper calls are imported.
    const HMODULE module = ::GetModuleHandleW(L"iphlpapi.dll");
    InterfaceEntryCalls found;
    found.initialize = ExportOf<InitializeIpInterfaceEntryCall>(module, "InitializeIpInterfaceEntry");
    found.get = ExportOf<GetIpInterfaceEntryCall>(module, "GetIpInterfaceEntry");
    if (found.initialize == nullptr || found.get == nullptr) found = InterfaceEntryCalls{};
    return found;
  }();
  return calls;
}

class SystemIpHelper final : public IpHelper {
 public:
  ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapters, ULONG* size) override { return ::GetAdaptersInfo(adapters, size); }
  ULONG GetAdaptersAddresses(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* adapters, ULONG* size) override {
    return ::GetAdaptersAddresses(family, flags, nullptr, adapters, size);
  }
  DWORD GetNetworkParams(FIXED_INFO* info, ULONG* size) override { return ::GetNetworkParams(info, size); }
  DWORD GetIfEntry(MIB_IFROW* row) override { return ::GetIfEntry(row); }
  DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* row) override {
    return ::GetBestRoute(destination, source, row);
  }
  DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL sorted) override {
    return ::GetIpForwardTable(table, size, sorted);
  }
  DWORD CreateIpForwardEntry(MIB_IPFORWARDROW* row) override { return ::CreateIpForwardEntry(row); }
  DWORD DeleteIpForwardEntry(MIB_IPFORWARDROW* row) override { return ::DeleteIpForwardEntry(row); }
  DWORD SetIpForwardEntry(MIB_IPFORWARDROW* row) override { return ::SetIpForwardEntry(row); }
  DWORD FlushIpNetTable(DWORD interfaceIndex) override { return ::FlushIpNetTable(interfaceIndex); }
  bool HasIpInterfaceEntry() override { return LookUpInterfaceEntryCalls().get != nullptr; }
  void InitializeIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) override { LookUpInterfaceEntryCalls().initialize(row); }
  DWORD GetIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) override { return LookUpInterfaceEntryCalls().get(row); }
};

SystemIpHelper systemIpHelper;
std::atomic<IpHelper*> currentIpHelper{&systemIpHelper};

constexpr int kReadAttempts = 4;

// Runs a sized read until the buffer holds the whole table: the call answers buffer
// overflow (tooSmall names the call's own code) with the size it needs, which may grow
// again before the next attempt. No data is an empty table.
template <typename Read>
Error ReadGrowing(const char* step, DWORD tooSmall, std::vector<std::uint8_t>* buffer, Read read) {
  ULONG size = static_cast<ULONG>(buffer->size());
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const DWORD result = read(buffer->empty() ? nullptr : buffer->data(), &size);
    if (result == NO_ERROR) return Error::Success();
    if (result == ERROR_NO_DATA) {
      buffer->clear();
      return Error::Success();
    }
    if (result != ERROR_BUFFER_OVERFLOW && result != ERROR_INSUFFICIENT_BUFFER) return Win32Error(result, step);
    buffer->assign(size, 0);
  }
  return Win32Error(tooSmall, step);
}

}  // namespace

IpHelper& CurrentIpHelper() { return *currentIpHelper.load(); }

ScopedIpHelper::ScopedIpHelper(IpHelper& helper) : previous_(currentIpHelper.exchange(&helper)) {}
ScopedIpHelper::~ScopedIpHelper() { currentIpHelper.store(previous_); }

Error ReadAdaptersInfo(IpHelper& helper, std::vector<std::uint8_t>* buffer) {
  buffer->clear();
  return ReadGrowing("GetAdaptersInfo", ERROR_BUFFER_OVERFLOW, buffer, [&](std::uint8_t* data, ULONG* size) {
    return helper.GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(data), size);
  });
}

Error ReadAdapterAddresses(IpHelper& helper, std::vector<std::uint8_t>* buffer) {
  buffer->clear();
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  return ReadGrowing("GetAdaptersAddresses", ERROR_BUFFER_OVERFLOW, buffer, [&](std::uint8_t* data, ULONG* size) {
    return helper.GetAdaptersAddresses(AF_UNSPEC, flags, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(data), size);
  });
}

Error ReadNetworkParams(IpHelper& helper, std::vector<std::uint8_t>* buffer) {
  buffer->clear();
  Error error = ReadGrowing("GetNetworkParams", ERROR_BUFFER_OVERFLOW, buffer, [&](std::uint8_t* data, ULONG* size) {
    return helper.GetNetworkParams(reinterpret_cast<FIXED_INFO*>(data), size);
  });
  // The parameters are one record, never an empty list.
  if (error.Succeeded() && buffer->size() < sizeof(FIXED_INFO)) return Win32Error(ERROR_NO_DATA, "GetNetworkParams");
  return error;
}

Error ReadForwardTable(IpHelper& helper, std::vector<std::uint8_t>* buffer) {
  buffer->clear();
  Error error =
      ReadGrowing("GetIpForwardTable", ERROR_INSUFFICIENT_BUFFER, buffer, [&](std::uint8_t* data, ULONG* size) {
        return helper.GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(data), size, FALSE);
      });
  // An empty table may come back as its entry count alone.
  if (error.Succeeded() && buffer->size() < sizeof(MIB_IPFORWARDTABLE)) buffer->resize(sizeof(MIB_IPFORWARDTABLE), 0);
  return error;
}

const IP_ADAPTER_INFO* FirstAdapterInfo(const std::vector<std::uint8_t>& buffer) {
  return buffer.size() < sizeof(IP_ADAPTER_INFO) ? nullptr : reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data());
}

const IP_ADAPTER_ADDRESSES* FirstAdapterAddresses(const std::vector<std::uint8_t>& buffer) {
  return buffer.size() < sizeof(IP_ADAPTER_ADDRESSES) ? nullptr
                                                      : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
}

}  // namespace platform
