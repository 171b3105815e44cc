#include "tunnel/OpenVpnConfigManager.h"

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"

namespace vortan {

namespace {

const char* const kDirectTemplate = "../conf/VortanClient.ovpn";
const char* const kStunnelTemplate = "../conf/VortanClientStunnel.ovpn";
const char* const kConfigFileName = "vortanclient.ovpn";
const char* const kOpenVpnLogFile = "OpenVpnLog.txt";
const char* const kAuthFileName = "auth.txt";
const char* const kVerbosity = "3";

const TemplateMessages kTemplateMessages = {
    "checking presence of openVpn Config Template :",
    "using side-by-side openVpn Config Template : ",
    "reading openVpn Config Template :",
};

bool IsUdp(const std::string& protocol) { return Contains(ToLowerAscii(protocol), "udp"); }

}  // namespace

std::string IpWin32Text(const std::string& mode) {
  if (mode == "adaptive") return "--ip-win32 adaptive\ndhcp-renew\ndhcp-release";
  if (mode == "dynamic") return "--ip-win32 dynamic\ndhcp-renew\ndhcp-release";
  if (mode == "winapi") return "--ip-win32 ipapi";
  return "--ip-win32 netsh";
}

OpenVpnConfigManager::OpenVpnConfigManager(const RequestParser& request, std::uint32_t managementAddress,
                                           int managementPort, bool directTemplate, const FileWriter& writer)
    : managementPort(managementPort), managementAddress(managementAddress) {
  const std::string proxyLine = BuildProxyLine(request, writer);
  const std::string templatePath =
      ResolveTemplatePath(directTemplate ? kDirectTemplate : kStunnelTemplate, loggers::kVpnConfig, kTemplateMessages);
  const std::string text = FillTemplate(ReadTextFile(templatePath), request, proxyLine);
  WriteConfigFile(writer, request.GetConfigPrefix() + kConfigFileName, text, platform::FileAccess::kDefault,
                  loggers::kVpnConfig);
  CLOG(DEBUG, loggers::kVpnConfig) << "openvpn config file ready";
}

// The credentials file is written without a byte-order mark: OpenVPN would send the
// mark as part of the user name.
std::string OpenVpnConfigManager::AuthFileContent(const std::string& userName, const std::string& password) {
  return WithTextModeLineEnds(userName + "\n" + password + "\n");
}

std::string OpenVpnConfigManager::WriteAuthFile(const FileWriter& writer, const std::string& prefix,
                                                const std::string& userName, const std::string& password) {
  const std::string path = prefix + kAuthFileName;
  CLOG(DEBUG, loggers::kVpnConfig) << "writing permission file " << path;
  const platform::Error error = writer.Write(path, AuthFileContent(userName, password), platform::FileAccess::kOwnerOnly);
  if (error.Failed()) CLOG(DEBUG, loggers::kVpnConfig) << "write of " << path << " failed, errno " << error.Code();
  return path;
}

std::string OpenVpnConfigManager::BuildProxyLine(const RequestParser& request, const FileWriter& writer) {
  if (!request.HasProxy()) return std::string();
  const std::string server = "http-proxy " + request.GetProxyServer() + " " + request.GetProxyPort();
  const std::string& method = request.GetProxyAuthentication();
  if (Contains(method, "none")) return server;
  authFilePath =
      WriteAuthFile(writer, request.GetConfigPrefix(), request.GetProxyUserName(), request.GetProxyPassword());
  // OpenVPN knows its methods in lower case only; stunnel, and the clients, ignore case.
  return server + " \"" + EscapeBackslashes(authFilePath) + "\" " + ToLowerAscii(method);
}

// The values are never searched for placeholders: a request word is written as given.
std::string OpenVpnConfigManager::FillTemplate(const std::string& text, const RequestParser& request,
                                               const std::string& proxyLine) const {
  const bool udp = IsUdp(request.GetProtocol());
  return FillPlaceholders(text, {
                                    {"%VORTANHOSTNAME%", request.GetRemoteHost()},
                                    {"%VORTANPORT%", request.GetRemotePort()},
                                    {"%CFG_FILE_PREFIX%", EscapeBackslashes(request.GetConfigFileName())},
                                    {"%DEV%", request.GetDevice()},
                                    {"%PROTOCOL%", udp ? "udp" : "tcp"},
                                    {"%EXITNOTIFY%", udp ? "explicit-exit-notify" : ""},
                                    {"%MGMT_PORT%", std::to_string(managementPort)},
                                    {"%MGMT_HOST%", FormatDotted(managementAddress)},
                                    {"%VERB%", kVerbosity},
                                    {"%IPWIN32%", IpWin32Text(request.GetIpWin32Mode())},
                                    {"%LOG%", EscapeBackslashes(kOpenVpnLogFile)},
                                    {"%PROXY%", proxyLine},
                                });
}

}  // namespace vortan
