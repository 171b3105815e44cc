#include "protocol/Session.h"

#include <memory>

#include "common/Logging.h"
#include "common/StatusReply.h"
#include "common/Text.h"
#include "protocol/Replies.h"
#include "protocol/RequestLog.h"
#include "protocol/RouteReplies.h"
#include "protocol/TunnelAccess.h"
#include "routes/RouteLedger.h"
#include "routes/RouteManagement.h"
#include "tunnel/OpenVpnManager.h"

namespace vortan {
namespace {

std::string ReadRequest(Socket& connection) {
  std::string line = connection.ReceiveLine();
  if (IsValidUtf8(line)) return line;
  CLOG(ERROR, loggers::kService) << "Got a non UTF-8 request from client: " << "bad conversion";
  return "Malformed request";
}

}  // namespace

SessionReply HandleRequest(const std::string& request, SessionStart& session) {
  const CallerId& caller = session.client.caller;
  const AccessRules rules = session.access != nullptr ? session.access->rules : AccessRules{};
  if (StartsWith(request, "CONTROL")) {
    // Without a service object (console mode) there is no stop to wait for.
    const bool stop = session.stopOnControl && session.stopOnControl();
    CLOG(DEBUG, loggers::kService) << "request to Stop = " << (stop ? 1 : 0);
    return {"OK", true};
  }
  if (StartsWith(request, "route")) {
    if (auto refusal = TunnelCommandRefusal(caller, rules, session.vpnManager, "route")) return {*refusal, false};
    if (session.routeLedger == nullptr) {
      RouteLedger unrecorded;  // a session without the service (tests, tools): its own, kept for nothing
      return {RouteReply(RouteManagement::Dispatch(request, unrecorded)), false};
    }
    return {RouteReply(RouteManagement::Dispatch(request, *session.routeLedger)), false};
  }
  if (StartsWith(request, "version")) return {VersionReply(), false};
  if (StartsWith(request, "shutdown")) {
    if (auto refusal = TunnelCommandRefusal(caller, rules, session.vpnManager, "shutdown")) return {*refusal, false};
    if (session.vpnManager == nullptr) return {TunnelReply({TunnelOutcomeKind::kStopped}), false};
    return {TunnelReply(session.vpnManager->ShutdownFor(caller)), false};
  }
  if (StartsWith(request, "start")) {
    if (auto refusal = TunnelCommandRefusal(caller, rules, session.vpnManager, "start")) return {*refusal, false};
    if (session.vpnManager == nullptr) return {MakeResponse(false, false, 1, "NOT IMPLEMENTED"), false};
    return {TunnelReply(session.vpnManager->Start(request.substr(5), session.client)), false};
  }
  if (StartsWith(request, "quit")) return {"bye", true};
  return {HelpText(), false};
}

void Answer(SessionStart& start) {
  TunnelClient& client = start.client;
  NameThread("telnet-" + PointerText(&start));
  SessionAccess uncounted;
  const std::unique_ptr<SessionPlace> place = AdmitSession(client, start.access != nullptr ? *start.access : uncounted);
  if (!place) return;
  CLOG(INFO, loggers::kService) << "new client connection";
  client.outbox = std::make_shared<ClientOutbox>(client.connection);
  client.outbox->Reply(kWelcome);
  for (bool first = true;; first = false) {
    const std::string request = ReadRequest(*client.connection);
    if (first && LooksLikeHttp(request)) {
      CLOG(WARNING, loggers::kService) << "HTTP request on the management interface refused, closing the connection";
      break;
    }
    const std::string logCopy = LogCopy(request);
    CLOG(DEBUG, loggers::kService) << "telnet Request = " << logCopy;
    if (request.empty()) break;
    // The reply goes before anything the request leads a tunnel to relay.
    client.outbox->HoldRelayed();
    SessionReply reply = HandleRequest(request, start);
    CLOG(DEBUG, loggers::kService) << "telnet Response  = " << reply.text;
    client.outbox->Reply(reply.text);
    if (reply.endSession) break;
  }
  CLOG(DEBUG, loggers::kService) << "Answer Thread closed";
}

}  // namespace vortan
