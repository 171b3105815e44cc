#include "platform/RouteChanges.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>  // netioapi.h needs its address types
#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/windows/Win32Error.h"

// IP Helper's route, interface and unicast address notifications. Their callbacks run on
// system threads and only set an auto-reset event, so any number of them before the
// next wait wakes it once; a second event carries the nudges.
namespace platform {
namespace {

VOID WINAPI OnRouteChange(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
  ::SetEvent(static_cast<HANDLE>(context));
}

VOID WINAPI OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  ::SetEvent(static_cast<HANDLE>(context));
}

VOID WINAPI OnAddressChange(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
  ::SetEvent(static_cast<HANDLE>(context));
}

class IpHelperRouteChanges final : public RouteChanges {
 public:
  IpHelperRouteChanges() = default;
  ~IpHelperRouteChanges() override {
    // Returns once no callback of the subscription runs any more: only then may the
    // event they set go.
    for (HANDLE subscription : subscriptions_) ::CancelMibChangeNotify2(subscription);
    if (changed_ != nullptr) ::CloseHandle(changed_);
    if (nudge_ != nullptr) ::CloseHandle(nudge_);
  }
  IpHelperRouteChanges(const IpHelperRouteChanges&) = delete;
  IpHelperRouteChanges& operator=(const IpHelperRouteChanges&) = delete;

  Error Open() {
    changed_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (changed_ == nullptr) return LastWin32Error("CreateEvent");
    nudge_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (nudge_ == nullptr) return LastWin32Error("CreateEvent");
    HANDLE subscription = nullptr;
    DWORD code = ::NotifyRouteChange2(AF_INET, OnRouteChange, changed_, FALSE, &subscription);
    if (code != NO_ERROR) return Win32Error(code, "NotifyRouteChange2");
    subscriptions_.push_back(subscription);
    code = ::NotifyIpInterfaceChange(AF_INET, OnInterfaceChange, changed_, FALSE, &subscription);
    if (code != NO_ERROR) return Win32Error(code, "NotifyIpInterfaceChange");
    subscriptions_.push_back(subscription);
    code = ::NotifyUnicastIpAddressChange(AF_INET, OnAddressChange, changed_, FALSE, &subscription);
    if (code != NO_ERROR) return Win32Error(code, "NotifyUnicastIpAddressChange");
    subscriptions_.push_back(subscription);
    return Error::Success();
  }

  Wake Wait(std::chrono::milliseconds timeout) override {
    const HANDLE events[] = {nudge_, changed_};
    const DWORD wait = static_cast<DWORD>(std::clamp<std::int64_t>(timeout.count(), 0, INFINITE - 1));
    switch (::WaitForMultipleObjects(2, events, FALSE, wait)) {
      case WAIT_OBJECT_0:
        return Wake::Nudged;
      case WAIT_OBJECT_0 + 1:
        return Wake::Changed;
      case WAIT_TIMEOUT:
        return Wake::TimedOut;
      default:
        return Wake::Failed;
    }
  }

  void Nudge() override { ::SetEvent(nudge_); }

 private:
  HANDLE changed_ = nullptr;
  HANDLE nudge_ = nullptr;
  std::vector<HANDLE> subscriptions_;
};

}  // namespace

std::unique_ptr<RouteChanges> SubscribeToRouteChanges(Error* error) {
  auto changes = std::make_unique<IpHelperRouteChanges>();
  *error = changes->Open();
  if (error->Failed()) return nullptr;
  return changes;
}

}  // namespace platform
