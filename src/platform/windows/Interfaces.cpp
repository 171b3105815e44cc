#include "platform/Interfaces.h"

#include <vector>

#include "platform/windows/IpHelper.h"
#include "platform/windows/WideText.h"

// Windows names a network interface for its users by the adapter's friendly name.
namespace platform {

std::size_t MaxInterfaceNameLength() { return IF_MAX_STRING_SIZE; }

bool InterfaceExists(const std::string& name) {
  if (name.empty()) return false;
  const std::wstring wideName = Utf8ToWide(name);
  if (wideName.empty() || wideName.size() > MaxInterfaceNameLength()) return false;
  std::vector<std::uint8_t> buffer;
  if (ReadAdapterAddresses(CurrentIpHelper(), &buffer).Failed()) return false;
  for (const IP_ADAPTER_ADDRESSES* adapter = FirstAdapterAddresses(buffer); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->FriendlyName != nullptr && wideName == adapter->FriendlyName) return true;
  }
  return false;
}

}  // namespace platform
