#pragma once

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>  // netioapi.h needs its address types
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdint>
#include <vector>

#include "platform/Error.h"

// The IP Helper calls of the host-network backend, one member per system call with the
// call's own arguments and result, so that tests can put a fake system underneath.
namespace platform {

class IpHelper {
 public:
  virtual ~IpHelper() = default;

  virtual ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapters, ULONG* size) = 0;
  virtual ULONG GetAdaptersAddresses(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* adapters, ULONG* size) = 0;
  virtual DWORD GetNetworkParams(FIXED_INFO* info, ULONG* size) = 0;
  virtual DWORD GetIfEntry(MIB_IFROW* row) = 0;
  virtual DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* row) = 0;
  virtual DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL sorted) = 0;
  virtual DWORD CreateIpForwardEntry(MIB_IPFORWARDROW* row) = 0;
  virtual DWORD DeleteIpForwardEntry(MIB_IPFORWARDROW* row) = 0;
  virtual DWORD SetIpForwardEntry(MIB_IPFORWARDROW* row) = 0;
  virtual DWORD FlushIpNetTable(DWORD interfaceIndex) = 0;

  // The interface-row calls exist from Windows Vista on; false where the system does not
  // export them, and the two calls below must not be made.
  virtual bool HasIpInterfaceEntry() = 0;
  virtual void InitializeIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) = 0;
  virtual DWORD GetIpInterfaceEntry(MIB_IPINTERFACE_ROW* row) = 0;
};

// The IP Helper the backend calls: the system's, unless a test put another in place.
IpHelper& CurrentIpHelper();

// Puts a fake IP Helper under the backend for the lifetime of this object (tests only).
class ScopedIpHelper {
 public:
  explicit ScopedIpHelper(IpHelper& helper);
  ~ScopedIpHelper();
  ScopedIpHelper(const ScopedIpHelper&) = delete;
  ScopedIpHelper& operator=(const ScopedIpHelper&) = delete;

 private:
  IpHelper* previous_;
};

// Whole tables, read into buffers that grow until the table fits (it may grow between
// the size query and the read). The buffers' first bytes are the call's record.
Error ReadAdaptersInfo(IpHelper& helper, std::vector<std::uint8_t>* buffer);
Error ReadAdapterAddresses(IpHelper& helper, std::vector<std::uint8_t>* buffer);
Error ReadNetworkParams(IpHelper& helper, std::vector<std::uint8_t>* buffer);
Error ReadForwardTable(IpHelper& helper, std::vector<std::uint8_t>* buffer);

// The first adapter record of a buffer read above; null for an empty list.
const IP_ADAPTER_INFO* FirstAdapterInfo(const std::vector<std::uint8_t>& buffer);
const IP_ADAPTER_ADDRESSES* FirstAdapterAddresses(const std::vector<std::uint8_t>& buffer);

}  // namespace platform
