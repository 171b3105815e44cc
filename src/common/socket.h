#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Tcp.h"

namespace vortan {

// A platform failure as the socket layer reports it: the text, " id[", the code, "]".
std::string WithErrorCode(const std::string& text, int code);

// Longest request line accepted; a longer one ends the connection's session.
constexpr std::size_t kMaxLineLength = 65536;

// A blocking IPv4 TCP socket with one owner, which closes its handle when it goes (or
// at once by Close). Those that share a connection share its owner (a shared_ptr).
class Socket {
 public:
  Socket();  // a new, unconnected socket; throws "INVALID_SOCKET"
  Socket(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&&) = delete;
  virtual ~Socket();

  // One line, trimmed of " \t\n\r\f\v". Empty text on error or for a blank line; on
  // close, what arrived of the line, untrimmed. Never consumes a byte past the line
  // feed. A line longer than kMaxLineLength gives empty text (and a warning).
  std::string ReceiveLine();
  // The text and one line feed, in one send call; errors are ignored.
  void SendLine(std::string text);
  // Closes the handle now.
  void Close();
  // Ends both directions at once: a blocked ReceiveLine (or Accept) returns.
  void Shutdown();

  platform::SocketHandle Handle() const;
  // Local and peer endpoints (network-order addresses); false when unavailable.
  bool Endpoints(std::uint32_t* localAddress, int* localPort, std::uint32_t* peerAddress,
                 int* peerPort) const;

  // The first candidate, in random order, that address can bind; 0 when the list is
  // empty or no candidate is free (then with a warning).
  static int GetFreePort(std::uint32_t address, std::vector<int> candidates);

 protected:
  explicit Socket(platform::SocketHandle adopted);

 private:
  friend class SocketServer;
  std::atomic<platform::SocketHandle> handle_;
};

class SocketServer : public Socket {
 public:
  // An accept that failed while the listener stays usable (descriptors or memory
  // exhausted, a connection gone before it was taken): the next accept may succeed.
  // The text is the system's error text, " id[", the code and "]".
  class TransientAcceptError : public std::runtime_error {
   public:
    explicit TransientAcceptError(int code);
    int Code() const { return code_; }

   private:
    int code_;
  };

  // Binds and listens; throws "Invalid Socket : cannot bind" or
  // "Invalid Socket : cannot read actual status".
  SocketServer(std::uint32_t address, int port, int backlog);
  // A new connection owned by the caller, sending each line at once; or null when the
  // call would block. Throws TransientAcceptError when the listener stays usable,
  // "Invalid Socket" when it fails.
  std::unique_ptr<Socket> Accept();
  int BoundPort() const { return boundPort_; }

 private:
  int boundPort_ = 0;
};

class SocketClient : public Socket {
 public:
  // Connects; throws the system's error text, " id[", the code and "]".
  SocketClient(std::uint32_t address, int port);
};

// A connection to a local (Unix-domain) stream socket, with the same line operations.
class LocalSocketClient : public Socket {
 public:
  // Connects to the socket file at path; throws the system's error text, " id[", the
  // code and "]".
  explicit LocalSocketClient(const std::string& path);
  // The process listening at the other end; 0 when it cannot be told.
  std::uint32_t PeerProcess() const;
};

}  // namespace vortan
