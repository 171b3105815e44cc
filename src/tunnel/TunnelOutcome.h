#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vortan {

// What a "start" or a "shutdown" came to, as the tunnel controller tells it; the
// protocol's reply table turns each kind into the text the client reads.
enum class TunnelOutcomeKind {
  kStarted,               // OpenVPN launched (its relay may not have started)
  kStopped,               // the tunnel is closed
  kNoManagementEndpoint,  // no loopback endpoint for OpenVPN's management interface
  kServiceStopping,       // the controller is retired
  kWrongArguments,        // wrong word count, a control byte or a word of the wrong kind
  kUnknownCaller,         // the local user behind the request cannot be told
  kDeviceInUse,           // detail: the requested device, an existing interface
  kQbrNotInstalled,       // stunnel mode without stunnel
  kLaunchFailed,          // code: the system's error of the last launch attempt
  kForeignTunnel,         // the running tunnel belongs to another user
  kStartError,            // detail: the text of the error that stopped the start
  kStartFailure,          // detail: the text of an unexpected failure
  kStartFailureUnknown,   // a failure that tells nothing
};

struct TunnelOutcome {
  TunnelOutcome(TunnelOutcomeKind kind, std::int32_t code = 0, std::string detail = std::string())
      : kind(kind), code(code), detail(std::move(detail)) {}
  TunnelOutcomeKind kind;
  std::int32_t code = 0;
  std::string detail;
};

}  // namespace vortan
