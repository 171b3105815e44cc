#include "protocol/Replies.h"

#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

const char* const kCompatibilityVersion = "6.5";

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

}  // namespace vortan
