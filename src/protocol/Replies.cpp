#include "protocol/Replies.h"

#include "common/Logging.h"
#include "common/StatusReply.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

const char* const kCompatibilityVersion = "6.5";

enum class Plain { kNo, kYes };
enum class LogAs { kNothing, kDebug, kWarning };

// One row per outcome: a plain text or an error reply (its code the outcome's), its
// message before and after the outcome's detail, and how the reply is logged.
struct TunnelReplyRow {
  TunnelOutcomeKind kind;
  Plain plain;
  const char* text;
  const char* afterDetail;
  LogAs log;
};

const TunnelReplyRow kTunnelReplies[] = {
    {TunnelOutcomeKind::kStarted, Plain::kYes, "OK", "", LogAs::kNothing},
    {TunnelOutcomeKind::kStopped, Plain::kYes, "OK", "", LogAs::kNothing},
    {TunnelOutcomeKind::kNoManagementEndpoint, Plain::kYes, "", "", LogAs::kNothing},
    {TunnelOutcomeKind::kServiceStopping, Plain::kNo, "The service is stopping", "", LogAs::kDebug},
    {TunnelOutcomeKind::kWrongArguments, Plain::kNo, "Dashlet sent wrong request arguments", "", LogAs::kDebug},
    {TunnelOutcomeKind::kUnknownCaller, Plain::kNo,
     "Cannot tell which local user sent the request: nothing was written", "", LogAs::kDebug},
    {TunnelOutcomeKind::kDeviceInUse, Plain::kNo, "The device ",
     " is an existing interface: only Vortan-Dashlet or a new interface may be used", LogAs::kWarning},
    {TunnelOutcomeKind::kQbrNotInstalled, Plain::kNo, "QBR not installed ", "", LogAs::kDebug},
    {TunnelOutcomeKind::kLaunchFailed, Plain::kNo, "Failed to launch process.", "", LogAs::kDebug},
    {TunnelOutcomeKind::kForeignTunnel, Plain::kNo, "The tunnel belongs to another user", "", LogAs::kNothing},
    {TunnelOutcomeKind::kStartError, Plain::kNo, "", "", LogAs::kDebug},
    {TunnelOutcomeKind::kStartFailure, Plain::kNo, "Failed to launch process. : ", "", LogAs::kDebug},
    {TunnelOutcomeKind::kStartFailureUnknown, Plain::kNo, "Failed to launch process. (No additional info) ", "",
     LogAs::kDebug},
};

}  // namespace

const std::string& HelpText() {
  static const std::string text =
      "List of Availlable commands \r\r"
      "help \r\t   : display the following info ...\r\r"
      "version \r\t   : return the implementation and compatibility version of the service\r\r"
      "route add destination netmask gateway metric\r\t   : add a route\r"
      "route del destination\r\t   : delete a route\r\r"
      "proxy_exception add destination netmask winuser\r\t   : add a proxy exception in Windows internet "
      "settings of winuser\r"
      "proxy_exception del destination netmask winuser\r\t   : remove a proxy exception from Windows internet "
      "settings of winuser\r\r"
      "start VORTANHOSTNAME VORTANPORT CFG_FILE_PREFIX DEVICE PROTOCOL(udp|tcp) [PROXY_SERVER] [PROXY_PORT] "
      "[PROXY_USERNAME] [PROXY_PASSWORD] [PRORY_AUTH(basic|ntlm)]\r\t   : start the vpn Connection\r\r"
      "shutdown \r    : stop the vpn connection\r\r"
      "quit \r\t: end this telnet session\r";
  return text;
}

std::string VersionReply() {
  const std::string version = platform::VersionText();
  return "IMPLEMENTATION:" + (version.empty() ? std::string("Unknown") : version) + " COMPATIBILITY:" +
         kCompatibilityVersion;
}

std::string TunnelReply(const TunnelOutcome& outcome) {
  for (const TunnelReplyRow& row : kTunnelReplies) {
    if (row.kind != outcome.kind) continue;
    const std::string message = row.text + outcome.detail + row.afterDetail;
    const std::string reply = row.plain == Plain::kYes ? message : MakeResponse(false, false, outcome.code, message);
    if (row.log == LogAs::kDebug) CLOG(DEBUG, loggers::kOpenVpnManager) << reply;
    if (row.log == LogAs::kWarning) CLOG(WARNING, loggers::kOpenVpnManager) << reply;
    return reply;
  }
  return MakeResponse(false, false, outcome.code, outcome.detail);
}

}  // namespace vortan
