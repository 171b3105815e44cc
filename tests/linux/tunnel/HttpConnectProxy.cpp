// A small HTTP CONNECT proxy for the tunnel tests: listens on one address and port,
// demands Basic credentials, and records every request in a log file.
//
//   vortan_connect_proxy ADDRESS PORT LOGFILE BASE64-OF-USER:PASSWORD
//
// Ends on SIGTERM. Serves each client on a thread of its own; bounded header size.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr std::size_t kMaxHeader = 16384;

std::mutex logMutex;
std::string logPath;
std::string expectedCredentials;  // as the header carries them

void Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::ofstream out(logPath, std::ios::app);
  out << line << "\n";
}

bool SendAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t count = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// The request head up to the blank line; any bytes after it are returned in rest.
bool ReadHead(int fd, std::string* head, std::string* rest) {
  std::string data;
  char chunk[2048];
  for (;;) {
    const auto end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      *head = data.substr(0, end + 2);
      *rest = data.substr(end + 4);
      return true;
    }
    if (data.size() > kMaxHeader) return false;
    ssize_t count = recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) return false;
    data.append(chunk, static_cast<std::size_t>(count));
  }
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  std::size_t position = 0;
  while ((position = head.find("\r\n", position)) != std::string::npos) {
    position += 2;
    if (strncasecmp(head.c_str() + position, name.c_str(), name.size()) == 0 && head[position + name.size()] == ':') {
      std::size_t start = head.find_first_not_of(' ', position + name.size() + 1);
      return head.substr(start, head.find("\r\n", start) - start);
    }
  }
  return std::string();
}

// A numeric IPv4 address and a port (the proxy is only given those).
bool ToAddress(const std::string& host, const std::string& port, sockaddr_in* address) {
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<std::uint16_t>(std::atoi(port.c_str())));
  return inet_pton(AF_INET, host.c_str(), &address->sin_addr) == 1;
}

int ConnectTo(const std::string& target) {
  const auto colon = target.rfind(':');
  sockaddr_in address;
  if (colon == std::string::npos || !ToAddress(target.substr(0, colon), target.substr(colon + 1), &address)) {
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

void Relay(int a, int b) {
  char buffer[16384];
  pollfd entries[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (poll(entries, 2, -1) < 0) return;
    for (int i = 0; i < 2; ++i) {
      if (entries[i].revents == 0) continue;
      ssize_t count = recv(entries[i].fd, buffer, sizeof buffer, 0);
      if (count <= 0) return;
      if (!SendAll(entries[1 - i].fd, std::string(buffer, static_cast<std::size_t>(count)))) return;
    }
  }
}

// Logs why, answers with the status and ends the client's connection.
void Refuse(int client, const std::string& why, const std::string& status, const std::string& headers = "") {
  Log(why);
  SendAll(client, "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: 0\r\n\r\n");
  close(client);
}

void Serve(int client) {
  std::string head, rest;
  if (!ReadHead(client, &head, &rest)) {
    close(client);
    return;
  }
  const std::string requestLine = head.substr(0, head.find("\r\n"));
  char method[16] = {0}, target[512] = {0};
  if (std::sscanf(requestLine.c_str(), "%15s %511s", method, target) != 2 || std::strcmp(method, "CONNECT") != 0) {
    return Refuse(client, "REFUSED " + requestLine, "405 Method Not Allowed");
  }
  // The scheme name is case-insensitive (stunnel writes it as configured: "basic").
  const std::string authorization = HeaderValue(head, "Proxy-Authorization");
  const bool basic = authorization.size() > 6 && strncasecmp(authorization.c_str(), "Basic ", 6) == 0;
  if (!basic || authorization.substr(6) != expectedCredentials) {
    return Refuse(client, std::string("CONNECT ") + target + " auth=denied [" + authorization + "]",
                  "407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"vortan\"\r\n");
  }
  int upstream = ConnectTo(target);
  if (upstream < 0) {
    return Refuse(client, std::string("CONNECT ") + target + " auth=basic unreachable", "502 Bad Gateway");
  }
  Log(std::string("CONNECT ") + target + " auth=basic");
  if (SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n") && (rest.empty() || SendAll(upstream, rest))) {
    Relay(client, upstream);
  }
  close(upstream);
  close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ADDRESS PORT LOGFILE BASE64-OF-USER:PASSWORD\n", argv[0]);
    return 2;
  }
  logPath = argv[3];
  expectedCredentials = argv[4];
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address;
  if (!ToAddress(argv[1], argv[2], &address) ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
    std::perror("listen");
    return 1;
  }
  Log("LISTENING");
  for (;;) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::thread(Serve, client).detach();
  }
}
