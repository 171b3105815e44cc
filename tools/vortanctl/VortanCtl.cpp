#include "VortanCtl.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "common/Ipv4.h"
#include "common/Paths.h"
#include "common/Text.h"
#include "platform/HostNetwork.h"
#include "common/socket.h"

namespace vortanctl {

namespace {

const char* const kPortUsedScheme = "zel-vpn-service://";
const char* const kErrorWord = "ERROR";

std::string ReadWholeFile(const std::string& path, bool* readable) {
  std::ifstream in(path, std::ios::binary);
  *readable = static_cast<bool>(in);
  std::ostringstream content;
  if (*readable) content << in.rdbuf();
  return content.str();
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *port = std::atoi(text.c_str());
  return *port >= 1 && *port <= 65535;
}

// The portused.txt files to try, in order: the tree named on the command line, else
// the tree this program is installed in, else the default installation prefix.
std::vector<std::string> PortUsedCandidates(const Options& options) {
  const std::string relative = "conf/portused.txt";
  if (!options.root.empty()) return {options.root + "/" + relative};
  return {vortan::ResolveBesideExecutable("../" + relative),
          std::string(VORTANCTL_INSTALL_PREFIX) + "/" + relative};
}

bool FindService(const Options& options, Endpoint* endpoint, std::string* problem) {
  if (!options.endpoint.empty()) return ParseEndpoint(options.endpoint, endpoint);
  for (const std::string& path : PortUsedCandidates(options)) {
    bool readable = false;
    std::string content = ReadWholeFile(path, &readable);
    if (!readable) continue;
    if (ParsePortUsed(content, endpoint)) return true;
    *problem = path + " does not name an endpoint";
    return false;
  }
  *problem = "the service is not running (no conf/portused.txt found; use --root or --endpoint)";
  return false;
}

// The service's root-only directory, in the same tree as its portused.txt; its route
// ledger is there while the service has routes.
std::vector<std::string> RunCandidates(const Options& options) {
  if (!options.root.empty()) return {options.root + "/run"};
  return {vortan::ResolveBesideExecutable("../run"), std::string(VORTANCTL_INSTALL_PREFIX) + "/run"};
}

int PrintRoutes(const Options& options) {
  for (const std::string& directory : RunCandidates(options)) {
    std::error_code missing;
    if (!std::filesystem::is_directory(std::filesystem::u8path(directory), missing)) continue;
    const std::string path = directory + "/routes.txt";
    bool readable = false;
    ReadWholeFile(path, &readable);
    // Absent (no routes) or not readable: only root can tell which.
    const bool present = std::filesystem::exists(std::filesystem::u8path(path), missing);
    if (!readable && (present || missing)) break;
    const platform::HostSnapshot host =
        platform::OpenHostNetwork()->Snapshot(platform::HostSnapshot::kRoutes);
    if (host.routesError.Failed()) {
      std::cerr << "vortanctl: cannot read the routing table: code " << host.routesError.Code() << std::endl;
      return kErrorReply;
    }
    std::cout << RoutesReport(vortan::ReadLedgerFile(path), host.routes, platform::MarksOwnRoutes());
    return kSuccessReply;
  }
  std::cerr << "vortanctl: cannot read the route ledger (run/routes.txt: root only; use --root)"
            << std::endl;
  return kErrorReply;
}

void Print(const std::string& line) {
  std::cout << ForDisplay(line) << std::endl;
}

bool IsStartRequest(const std::string& line) { return vortan::StartsWith(line, "start"); }

// After a successful start the tunnel's notifications arrive on this connection.
void FollowTunnel(vortan::Socket& connection) {
  for (;;) {
    std::string line = connection.ReceiveLine();
    if (line.empty()) return;
    Print(line);
    if (IsExitingNotification(line)) return;
  }
}

int SingleRequest(vortan::Socket& connection, const std::string& request) {
  connection.SendLine(request);
  std::string reply = connection.ReceiveLine();
  if (reply.empty()) {
    std::cerr << "vortanctl: the service closed the connection without replying" << std::endl;
    return kUnreachable;
  }
  Print(reply);
  if (IsErrorReply(reply)) return kErrorReply;
  if (IsStartRequest(request)) FollowTunnel(connection);
  return kSuccessReply;
}

// Standard input feeds requests; a second thread prints whatever the service sends,
// since tunnel notifications arrive between replies.
int Interactive(vortan::Socket& connection) {
  std::atomic<bool> inputEnded{false};
  std::thread printer([&connection, &inputEnded] {
    for (;;) {
      std::string line = connection.ReceiveLine();
      if (line.empty()) break;
      Print(line);
    }
    if (!inputEnded) std::cerr << "vortanctl: connection closed by the service" << std::endl;
    // The main thread may be blocked reading the terminal: end the process here.
    std::fflush(nullptr);
    std::_Exit(kSuccessReply);
  });
  std::string input;
  while (std::getline(std::cin, input)) connection.SendLine(input);
  // End of input: end the session and print what is still on its way.
  inputEnded = true;
  connection.SendLine("quit");
  printer.join();
  return kSuccessReply;
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  Endpoint parsed;
  if (!vortan::ParseDottedQuad(text.substr(0, colon), &parsed.address)) return false;
  if (!ParsePort(text.substr(colon + 1), &parsed.port)) return false;
  *endpoint = parsed;
  return true;
}

bool ParsePortUsed(const std::string& content, Endpoint* endpoint) {
  // The service writes no line end; a file edited by hand may have one.
  const std::string text = vortan::TrimLine(content);
  if (!vortan::StartsWith(text, kPortUsedScheme)) return false;
  return ParseEndpoint(text.substr(std::string(kPortUsedScheme).size()), endpoint);
}

bool IsErrorReply(const std::string& reply) {
  return reply == kErrorWord || vortan::StartsWith(reply, std::string(kErrorWord) + " ");
}

bool IsExitingNotification(const std::string& line) {
  const std::string prefix = "> STATE: ";
  if (!vortan::StartsWith(line, prefix)) return false;
  std::vector<std::string> fields = vortan::SplitFields(line.substr(prefix.size()), ",");
  return fields.size() > 1 && fields[1] == "EXITING";
}

std::string ForDisplay(const std::string& line) {
  std::string shown = line;
  while (!shown.empty() && shown.back() == '\r') shown.pop_back();
  for (char& c : shown) {
    if (c == '\r') c = '\n';
  }
  return shown;
}

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&](const std::string& name) -> std::string {
      const std::string inlinePrefix = name + "=";
      if (vortan::StartsWith(argument, inlinePrefix)) return argument.substr(inlinePrefix.size());
      if (i + 1 < arguments.size()) return arguments[++i];
      options.error = argument + " needs a value";
      return std::string();
    };
    if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "-r" || argument == "--root" || vortan::StartsWith(argument, "--root=")) {
      options.root = value(argument == "-r" ? "-r" : "--root");
    } else if (argument == "-e" || argument == "--endpoint" ||
               vortan::StartsWith(argument, "--endpoint=")) {
      options.endpoint = value(argument == "-e" ? "-e" : "--endpoint");
      Endpoint ignored;
      if (options.error.empty() && !ParseEndpoint(options.endpoint, &ignored)) {
        options.error = "not an address:port endpoint: " + options.endpoint;
      }
    } else if (argument == "--") {
      options.request.assign(arguments.begin() + static_cast<long>(i) + 1, arguments.end());
      break;
    } else if (vortan::StartsWith(argument, "-")) {
      options.error = "unknown option " + argument;
    } else {
      options.request.assign(arguments.begin() + static_cast<long>(i), arguments.end());
      break;
    }
    if (!options.error.empty()) break;
  }
  return options;
}

std::string RequestLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  return line;
}

const std::string& UsageText() {
  static const std::string text =
      "Usage: vortanctl [--root DIR | --endpoint ADDRESS:PORT] [REQUEST...]\n"
      "\n"
      "Talks to the running VortanVpnService over its management protocol.\n"
      "With a REQUEST, sends it as one line, prints the reply and exits; without one,\n"
      "holds an interactive session: every line read from standard input is sent as a\n"
      "request, and replies and tunnel notifications are printed as they arrive. End of\n"
      "input sends \"quit\"; the session ends when the service closes the connection.\n"
      "\n"
      "The words of REQUEST are joined with single blanks, for example:\n"
      "  vortanctl version\n"
      "  vortanctl route del 10.20.0.0\n"
      "  vortanctl routes          (root) the routes the service wrote: route, tunnel,\n"
      "                            owner, state; read from its run/routes.txt\n"
      "  vortanctl 'start gw.example 1194 \"/home/me/vpn files/x_\" tap0 udp adaptive'\n"
      "After a successful \"start\" the tunnel's notification lines are printed until it\n"
      "reports EXITING, the service closes the connection, or you press Ctrl-C.\n"
      "Carriage returns inside a reply (the help text) are printed as line breaks.\n"
      "\n"
      "Options:\n"
      "  -r, --root DIR              installed tree whose conf/portused.txt names the\n"
      "                              service (default: the tree vortanctl is installed\n"
      "                              in, else " VORTANCTL_INSTALL_PREFIX ")\n"
      "  -e, --endpoint ADDR:PORT    connect to this loopback endpoint instead\n"
      "  -h, --help                  show this text\n"
      "\n"
      "Exit status:\n"
      "  0   success reply: any reply that is not an error reply (an interactive\n"
      "      session always ends with 0)\n"
      "  1   error reply: the reply is \"ERROR\" or begins with \"ERROR \"\n"
      "  2   the service cannot be reached: no portused.txt, connection refused, or the\n"
      "      connection closed before the reply\n"
      "  64  wrong command line\n";
  return text;
}

std::string RoutesReport(const std::vector<vortan::LedgerRoute>& routes, const std::vector<platform::Route>& table,
                         bool hostMarks) {
  std::string report = "ROUTE\tTUNNEL\tOWNER\tSTATE\n";
  for (const vortan::LedgerRoute& route : routes) {
    const bool present = !vortan::PresentEntries(table, {route}, hostMarks).empty();
    report += vortan::FormatDotted(route.destination) + "/" + vortan::FormatDotted(route.mask) + " via " +
              vortan::FormatDotted(route.gateway) + " if " + std::to_string(route.interfaceIndex) + " metric " +
              std::to_string(route.metric) + "\t" + std::to_string(route.tunnel) + "\t" + route.owner + "\t" +
              (present ? "present" : "missing") + "\n";
  }
  return report;
}

int Run(const Options& options) {
  // Read from the service's own files, not asked over the protocol.
  if (options.request.size() == 1 && options.request[0] == "routes") return PrintRoutes(options);
  Endpoint endpoint;
  std::string problem;
  if (!FindService(options, &endpoint, &problem)) {
    std::cerr << "vortanctl: " << problem << std::endl;
    return kUnreachable;
  }
  std::unique_ptr<vortan::SocketClient> connection;
  try {
    connection = std::make_unique<vortan::SocketClient>(endpoint.address, endpoint.port);
  } catch (const std::exception& error) {
    std::cerr << "vortanctl: cannot connect to " << vortan::FormatDotted(endpoint.address) << ":"
              << endpoint.port << ": " << error.what() << std::endl;
    return kUnreachable;
  }
  std::string welcome = connection->ReceiveLine();
  if (welcome.empty()) {
    std::cerr << "vortanctl: the service closed the connection without a welcome line" << std::endl;
    return kUnreachable;
  }
  if (options.request.empty()) {
    Print(welcome);
    return Interactive(*connection);
  }
  return SingleRequest(*connection, RequestLine(options.request));
}

}  // namespace vortanctl
