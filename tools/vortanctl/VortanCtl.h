#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "routes/RouteLedger.h"

// The administrator's command-line client of the service's management protocol.
namespace vortanctl {

// Exit codes.
constexpr int kSuccessReply = 0;
constexpr int kErrorReply = 1;
constexpr int kUnreachable = 2;
constexpr int kUsageError = 64;

struct Endpoint {
  std::uint32_t address = 0;  // network byte order
  int port = 0;
};

// "a.b.c.d:port" with a dotted-quad address and a port of 1..65535.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint);
// The content of portused.txt: "zel-vpn-service://" followed by an endpoint.
bool ParsePortUsed(const std::string& content, Endpoint* endpoint);

// An error reply is "ERROR" alone or a text beginning with "ERROR "; every other
// reply is a success.
bool IsErrorReply(const std::string& reply);
// A relayed tunnel state line ("> STATE: time,EXITING,...") that reports the end.
bool IsExitingNotification(const std::string& line);
// A line as shown to the user: the carriage returns that separate the parts of a
// reply (the help text) become line breaks, a trailing one is dropped.
std::string ForDisplay(const std::string& line);

struct Options {
  bool help = false;
  std::string root;                  // installed tree holding conf/portused.txt
  std::string endpoint;              // explicit address:port, wins over root
  std::vector<std::string> request;  // words of the one request; empty: interactive
  std::string error;                 // set when the command line is wrong
};
Options ParseOptions(const std::vector<std::string>& arguments);

const std::string& UsageText();

// The request line: the words joined with single blanks.
std::string RequestLine(const std::vector<std::string>& words);

// "vortanctl routes": the ledger file's routes, one line each after a header line:
// the route, its tunnel, the tunnel's owner and whether the host's table has it
// ("present" or "missing").
std::string RoutesReport(const std::vector<vortan::LedgerRoute>& routes, const std::vector<platform::Route>& table,
                         bool hostMarks);

// Runs the client as the options say; returns the exit code.
int Run(const Options& options);

}  // namespace vortanctl
