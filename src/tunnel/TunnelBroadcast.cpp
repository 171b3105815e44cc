#include "tunnel/TunnelBroadcast.h"

#include <cstdint>
#include <stdexcept>

#include "common/Logging.h"
#include "platform/ProcessInfo.h"
#include "platform/Udp.h"
#include "common/socket.h"

namespace vortan {
namespace {

std::runtime_error SocketError(int code) {
  return std::runtime_error(WithErrorCode(platform::ErrorText(code), code));
}

void ThrowOnError(int code) {
  if (code != 0) throw SocketError(code);
}

}  // namespace

TunnelBroadcast::TunnelBroadcast(const std::string& address) : address_(address) {
  CLOG(DEBUG, loggers::kBroadcast) << "udp socket creation to brodcast on " << address_ << " port "
                                   << broadcastPort_;
  try {
    CreateSocket();
  } catch (const std::exception& error) {
    CLOG(ERROR, loggers::kDefault) << "udp socket not created : " << error.what();
    socket_ = platform::kInvalidSocket;
  }
}

TunnelBroadcast::~TunnelBroadcast() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
}

void TunnelBroadcast::CreateSocket() {
  platform::SocketHandle handle = platform::kInvalidSocket;
  ThrowOnError(platform::OpenUdpSocket(&handle));
  try {
    ThrowOnError(platform::SetNonBlocking(handle));
    ThrowOnError(platform::EnableBroadcast(handle));
    ThrowOnError(platform::BindSocket(handle, 0, broadcastPort_));
  } catch (...) {
    platform::CloseSocket(handle);
    throw;
  }
  socket_ = handle;
}

void TunnelBroadcast::SendBroadcast(const std::string& message) {
  if (socket_ == platform::kInvalidSocket) throw std::runtime_error("TunnelBroadcast not correctly initialised");
  std::uint32_t destination = 0;
  int error = platform::ResolveIpv4(address_, &destination);
  if (error != 0) {
    throw std::runtime_error(WithErrorCode(platform::ResolveErrorText(error), error));
  }
  std::size_t sent = 0;
  platform::SendDatagram(socket_, destination, broadcastPort_, message.data(), message.size(), &sent);
}

}  // namespace vortan
