// Lines from OpenVPN's management interface through the listen thread's handling,
// with both connections real loopback sockets whose far ends are drained.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "tunnel/ManagementDialogue.h"
#include "common/Text.h"
#include "common/socket.h"

namespace {

// A connected pair whose far end is read and discarded by a thread of its own.
struct DrainedConnection {
  std::shared_ptr<vortan::Socket> near;
  DrainedConnection() {
    const std::uint32_t loopback = vortan::HostToNet(0x7F000001);
    vortan::SocketServer listener(loopback, 0, 1);
    auto far = std::make_shared<vortan::SocketClient>(loopback, listener.BoundPort());
    near = listener.Accept();
    std::thread([far] {
      for (;;) far->ReceiveLine();
    }).detach();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (vortan::silenceLogging(), true);
  (void)ready;
  static DrainedConnection* management = new DrainedConnection();
  static DrainedConnection* client = new DrainedConnection();
  static vortan::ClientOutbox* outbox = new vortan::ClientOutbox(client->near);
  vortan::RelayLog log;
  vortan::RelayTarget target{outbox, &log, "tap0"};
  vortan::ManagementDialogue dialogue;
  // One line per line feed, trimmed as the socket layer trims; a blank line ends the
  // connection.
  for (const std::string& raw : vortan::SplitFields(std::string(reinterpret_cast<const char*>(data), size), "\n")) {
    const std::string line = vortan::TrimLine(raw);
    if (line.empty()) break;
    vortan::HandleManagementLine(line, &dialogue, *management->near, target);
  }
  return 0;
}
