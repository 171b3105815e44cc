#include "common/socket.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/LocalSocket.h"
#include "platform/ProcessInfo.h"

namespace vortan {

namespace {

platform::SocketHandle OpenOrThrow() {
  platform::SocketHandle handle = platform::kInvalidSocket;
  if (platform::OpenTcpSocket(&handle).Failed()) throw std::runtime_error("INVALID_SOCKET");
  return handle;
}

platform::SocketHandle ConnectLocalOrThrow(const std::string& path) {
  platform::SocketHandle handle = platform::kInvalidSocket;
  const platform::Error error = platform::ConnectLocalSocket(path, &handle);
  if (error.Failed()) throw std::runtime_error(WithErrorCode(platform::ErrorText(error.Code()), error.Code()));
  return handle;
}

}  // namespace

std::string WithErrorCode(const std::string& text, int code) { return text + " id[" + std::to_string(code) + "]"; }

Socket::Socket() : Socket(OpenOrThrow()) {}

Socket::Socket(platform::SocketHandle adopted) : handle_(adopted) {}

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_.exchange(platform::kInvalidSocket)) {}

Socket::~Socket() { Close(); }

platform::SocketHandle Socket::Handle() const { return handle_.load(); }

void Socket::Close() {
  platform::SocketHandle handle = handle_.exchange(platform::kInvalidSocket);
  if (handle != platform::kInvalidSocket) platform::CloseSocket(handle);
}

bool Socket::Endpoints(std::uint32_t* localAddress, int* localPort, std::uint32_t* peerAddress,
                       int* peerPort) const {
  return platform::SocketEndpoints(Handle(), localAddress, localPort, peerAddress, peerPort).Succeeded();
}

std::string Socket::ReceiveLine() {
  // Peek at what has arrived, then consume exactly up to the line feed, so the next
  // line stays queued for whoever reads next.
  std::string line;
  char buffer[4096];
  const platform::SocketHandle handle = Handle();
  for (;;) {
    std::size_t peeked = 0;
    if (platform::PeekSocket(handle, buffer, sizeof buffer, &peeked).Failed()) return std::string();
    if (peeked == 0) return line;
    const char* lineFeed = static_cast<const char*>(std::memchr(buffer, '\n', peeked));
    std::size_t wanted = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - buffer) + 1 : peeked;
    std::size_t consumed = 0;
    if (platform::ReceiveSocket(handle, buffer, wanted, &consumed).Failed()) return std::string();
    if (consumed == 0) return line;
    line.append(buffer, consumed);
    bool complete = consumed == wanted && lineFeed != nullptr;
    if (line.size() - (complete ? 1 : 0) > kMaxLineLength) {
      std::uint32_t local = 0, peer = 0;
      int localPort = 0, peerPort = 0;
      Endpoints(&local, &localPort, &peer, &peerPort);
      CLOG(WARNING, loggers::kNetwork) << "line from " << FormatDotted(peer) << ":" << peerPort
                                       << " exceeds " << kMaxLineLength << " bytes (" << line.size()
                                       << " read), closing the connection";
      return std::string();
    }
    if (complete) return TrimLine(line);
  }
}

void Socket::SendLine(std::string text) {
  text.push_back('\n');
  std::size_t sent = 0;
  platform::SendSocket(Handle(), text.data(), text.size(), &sent);
}

int Socket::GetFreePort(std::uint32_t address, std::vector<int> candidates) {
  if (candidates.empty()) return 0;
  std::random_device source;
  std::mt19937 generator(source());
  std::shuffle(candidates.begin(), candidates.end(), generator);
  for (int port : candidates) {
    try {
      SocketServer probe(address, port, 1);
      return port;
    } catch (const std::runtime_error&) {
    }
  }
  CLOG(WARNING, loggers::kNetwork)
      << "could not find a free port in provided range, defaulting to auto assign from OS.";
  return 0;
}

SocketServer::SocketServer(std::uint32_t address, int port, int backlog) {
  platform::SocketHandle handle = Handle();
  if (platform::BindSocket(handle, address, port).Failed()) {
    Close();
    throw std::runtime_error("Invalid Socket : cannot bind");
  }
  if (platform::BoundPort(handle, &boundPort_).Failed()) {
    Close();
    throw std::runtime_error("Invalid Socket : cannot read actual status");
  }
  platform::ListenSocket(handle, backlog);
}

std::unique_ptr<Socket> SocketServer::Accept() {
  platform::SocketHandle accepted = platform::kInvalidSocket;
  const platform::Error error = platform::AcceptSocket(Handle(), &accepted);
  if (error.Failed()) {
    if (platform::IsWouldBlock(error)) return nullptr;
    if (!platform::IsListenerFault(error)) throw TransientAcceptError(error.Code());
    throw std::runtime_error("Invalid Socket");
  }
  std::unique_ptr<Socket> connection(new Socket(accepted));
  // Each line goes out in one send: holding it back for coalescing only delays replies
  // (and relayed lines) behind the client's delayed acknowledgement. Failure is harmless.
  platform::SendWritesAtOnce(accepted);
  return connection;
}

SocketServer::TransientAcceptError::TransientAcceptError(int code)
    : std::runtime_error(WithErrorCode(platform::ErrorText(code), code)), code_(code) {}

void Socket::Shutdown() { platform::ShutdownSocket(Handle()); }

SocketClient::SocketClient(std::uint32_t address, int port) {
  const platform::Error error = platform::ConnectSocket(Handle(), address, port);
  if (error.Failed()) throw std::runtime_error(WithErrorCode(platform::ErrorText(error.Code()), error.Code()));
}

LocalSocketClient::LocalSocketClient(const std::string& path) : Socket(ConnectLocalOrThrow(path)) {}

std::uint32_t LocalSocketClient::PeerProcess() const {
  std::uint32_t processId = 0;
  return platform::LocalPeerProcess(Handle(), &processId).Succeeded() ? processId : 0;
}

}  // namespace vortan
