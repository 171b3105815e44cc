#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

#include "TestCommon.h"
#include "common/Logging.h"
#include "common/StatusReply.h"
#include "protocol/Replies.h"
#include "protocol/Session.h"
#include "protocol/TunnelAccess.h"

namespace vortan {
namespace {

TEST(MakeResponse, FormsCarryOutcomeTagCodeTimeMessageAndTrailer) {
  const std::regex time("\\d{8}T\\d{2}:\\d{2}:\\d{2}");
  EXPECT_TRUE(std::regex_match(MakeResponse(false, false, 5, "Failed to launch process."),
                               std::regex("ERROR \\| 5 \\| \\d{8}T\\d{2}:\\d{2}:\\d{2} \\| "
                                          "Failed to launch process\\. \\(code 5\\)")));
  EXPECT_TRUE(std::regex_match(MakeResponse(true, true, 0, "x"),
                               std::regex("SUCCESS \\| RT0 \\| [0-9T:]{17} \\| x \\(code 0\\)")));
  EXPECT_TRUE(std::regex_match(MakeResponse(false, true, -7, "m"),
                               std::regex("ERROR \\| RT-7 \\| [0-9T:]{17} \\| m \\(code -7\\)")));
  const std::string empty = MakeResponse(false, false, 0, "");
  EXPECT_EQ(empty.substr(empty.size() - 12), " |  (code 0)");
}

// Every outcome of "start" and "shutdown" and the exact reply the client reads.
TEST(TunnelReply, EachOutcomeHasItsReply) {
  using K = TunnelOutcomeKind;
  // The reply with its time stamp left out.
  const std::pair<TunnelOutcome, const char*> rows[] = {
      {{K::kStarted}, "OK"},
      {{K::kStopped}, "OK"},
      {{K::kNoManagementEndpoint}, ""},
      {{K::kServiceStopping}, "ERROR | 0 | The service is stopping (code 0)"},
      {{K::kWrongArguments}, "ERROR | 0 | Dashlet sent wrong request arguments (code 0)"},
      {{K::kUnknownCaller},
       "ERROR | 0 | Cannot tell which local user sent the request: nothing was written (code 0)"},
      {{K::kDeviceInUse, 0, "eth0"},
       "ERROR | 0 | The device eth0 is an existing interface: only Vortan-Dashlet or a new interface may be used "
       "(code 0)"},
      {{K::kQbrNotInstalled}, "ERROR | 0 | QBR not installed  (code 0)"},
      {{K::kLaunchFailed, 2}, "ERROR | 2 | Failed to launch process. (code 2)"},
      {{K::kForeignTunnel}, "ERROR | 0 | The tunnel belongs to another user (code 0)"},
      {{K::kStartError, 0, "Cannot write file : /x"}, "ERROR | 0 | Cannot write file : /x (code 0)"},
      {{K::kStartFailure, 0, "bad_alloc"}, "ERROR | 0 | Failed to launch process. : bad_alloc (code 0)"},
      {{K::kStartFailureUnknown}, "ERROR | 0 | Failed to launch process. (No additional info)  (code 0)"},
  };
  for (const auto& [outcome, reply] : rows) EXPECT_EQ(test::Untimed(TunnelReply(outcome)), reply);
}

// The session's dispatch: the command word by prefix, the reply and whether the
// session ends; without a tunnel controller, and with a tunnel group the caller (who
// cannot be told) is not in.
TEST(HandleRequest, EachCommandAndRefusalGetsItsReply) {
  silenceLogging();
  const std::string help = HelpText();
  const std::string refused = "ERROR | 0 | Only members of the local group vortan-nogroup may use this command (code 0)";
  const struct {
    const char* request;
    bool grouped;
    bool stopPending;
    std::string reply;  // time stamp left out
    bool ends;
  } rows[] = {
      {"CONTROL", false, false, "OK", true},
      {"CONTROL stop", false, true, "OK", true},
      {"version", false, false, VersionReply(), false},
      {"versions", false, false, VersionReply(), false},
      {"shutdown", false, false, "OK", false},
      {"start 192.0.2.1 1194 x_ tap0 udp", false, false, "ERROR | 1 | NOT IMPLEMENTED (code 1)", false},
      {"route add 10.0.0.0", false, false, "ERROR | 2 | Invalid number of argument (code 2)", false},
      {"routes", false, false, "ERROR | 1 | NOT IMPLEMENTED (code 1)", false},
      {"quit", false, false, "bye", true},
      {"quitting", false, false, "bye", true},
      {"help", false, false, help, false},
      {"Start", false, false, help, false},
      {"STOP", false, false, help, false},
      {"status", false, false, help, false},
      {"Malformed request", false, false, help, false},
      {"proxy_exception add 10.0.0.0 255.0.0.0 user", false, false, help, false},
      {"route add 10.0.0.0", true, false, refused, false},
      {"shutdown", true, false, refused, false},
      {"start 192.0.2.1 1194 x_ tap0 udp", true, false, refused, false},
      {"version", true, false, VersionReply(), false},
      {"CONTROL", true, false, "OK", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.request << " grouped=" << row.grouped);
    SessionAccess access;
    if (row.grouped) access.rules.tunnelGroup = "vortan-nogroup";
    bool asked = false;
    SessionStart session{TunnelClient{}, nullptr, nullptr, &access};
    if (row.stopPending) session.stopOnControl = [&asked] { return asked = true; };
    const SessionReply reply = HandleRequest(row.request, session);
    EXPECT_EQ(test::Untimed(reply.text), row.reply);
    EXPECT_EQ(reply.endSession, row.ends);
    EXPECT_EQ(asked, row.stopPending);
  }
}

}  // namespace
}  // namespace vortan
