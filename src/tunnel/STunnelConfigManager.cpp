#include "tunnel/STunnelConfigManager.h"

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/PathRules.h"

namespace vortan {

namespace {

const char* const kStunnelTemplate = "../conf/stunnel.conf";
const char* const kConfigFileSuffix = "_stunnel.conf";
// Relative to stunnel's working directory bin/stunnel: the service's own logs directory.
const char* const kStunnelLogFile = "../../logs/stunnelLog.txt";
const char* const kVerbosity = "7";

const TemplateMessages kTemplateMessages = {
    "checking presence of stunnel Config Template :",
    "using side-by-side stunnel Config Template : ",
    "reading stunnel Config Template : ",
};

// stunnel takes a value as it stands. Doubled separators still name the same file where
// the backslash separates folders; elsewhere a backslash is part of a name and stays
// single.
std::string PrefixValue(const std::string& prefix) {
  const bool backslashSeparates = std::string(platform::PathSeparators()).find('\\') != std::string::npos;
  return backslashSeparates ? EscapeBackslashes(prefix) : prefix;
}

}  // namespace

std::string StunnelProxyBlock(const RequestParser& request) {
  if (!request.HasProxy()) return std::string();
  // An HTTP CONNECT names a literal IPv6 address in brackets.
  const std::string& host = request.GetRemoteHost();
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string protocolHost =
      "protocolHost = " + (ipv6 ? "[" + host + "]" : host) + ":" + request.GetRemotePort();
  const std::string& method = request.GetProxyAuthentication();
  if (Contains(method, "none")) return "protocol = connect\r\n" + protocolHost;
  return "protocol = connect\r\n"
         "protocolAuthentication = " + method + "\r\n" +
         protocolHost + "\r\n"
         "protocolPassword = " + request.GetProxyPassword() + "\r\n"
         "protocolUsername = " + request.GetProxyUserName();
}

STunnelConfigManager::STunnelConfigManager(const RequestParser& request, std::uint32_t localAddress, int localPort,
                                           const FileWriter& writer)
    : localAddress(localAddress), localPort(localPort) {
  const std::string proxyBlock = StunnelProxyBlock(request);
  const std::string templatePath = ResolveTemplatePath(kStunnelTemplate, loggers::kDefault, kTemplateMessages);
  const std::string text = FillTemplate(ReadTextFile(templatePath), request, proxyBlock);
  WriteConfigFile(writer, request.GetConfigPrefix() + kConfigFileSuffix, text, platform::FileAccess::kOwnerOnly,
                  loggers::kDefault);
}

// With proxy words stunnel connects to the proxy, which then reaches the remote server
// named in the proxy block. The values are never searched for placeholders: a proxy
// password holding "%LOCAL_PORT%" is written as given.
std::string STunnelConfigManager::FillTemplate(const std::string& text, const RequestParser& request,
                                               const std::string& proxyBlock) const {
  const bool proxy = request.HasProxy();
  return FillPlaceholders(text, {
                                    {"%VORTANHOSTNAME%", proxy ? request.GetProxyServer() : request.GetRemoteHost()},
                                    {"%VORTANPORT%", proxy ? request.GetProxyPort() : request.GetRemotePort()},
                                    {"%VERB%", kVerbosity},
                                    {"%LOG%", EscapeBackslashes(kStunnelLogFile)},
                                    {"%PROXY%", proxyBlock},
                                    {"%LOCAL_IP%", FormatDotted(localAddress)},
                                    {"%LOCAL_PORT%", std::to_string(localPort)},
                                    {"%CFG_FILE_PREFIX%", PrefixValue(request.GetConfigPrefix())},
                                });
}

}  // namespace vortan
