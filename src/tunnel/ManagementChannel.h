#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/socket.h"

namespace platform {
class LocalSocketWatch;
}

namespace vortan {

// How the service reaches the management interface of the OpenVPN it launched.
// Whoever reaches that interface controls a root process. Where local sockets are
// socket files, the channel is one in the root-only run directory: no other user can
// connect to it or take it first. Where they are loopback endpoints that every local
// process can reach, OpenVPN asks for a password that it reads from a file in the
// private directory, which only the service and administrators can read; a new one
// for every launch. The client's own configuration copy keeps its loopback endpoint:
// OpenVPN never reads that copy.
struct ManagementChannel {
  // The local socket: its file, or the loopback endpoint "address:port".
  std::string socketPath;
  // For a loopback endpoint: the password and the file OpenVPN reads it from; empty
  // for a socket file.
  std::string password;
  std::string passwordPath;
  // Set up before the launch, where the channel is a socket file: its creation is
  // waited for, and the watch, ended once the channel is open, goes with the tunnel.
  std::shared_ptr<platform::LocalSocketWatch> watch;

  // The channel as log lines name it.
  const std::string& Text() const { return socketPath; }
};

// The channel for launch number launch, in the root-only directory: a path (or a
// loopback port and a password) of its own for every launch, so that a process of an
// earlier launch is never taken for the new one. Throws std::runtime_error when the
// path does not fit a socket address or no password can be drawn.
ManagementChannel ManagementChannelFor(const std::string& privateDirectory, std::uint64_t launch);

// The channel of the next launch, with any socket file that an earlier run of the
// service left at its path removed, so that only OpenVPN's own socket is found there,
// and its path watched from now on. A password is written to its owner-only file;
// throws std::runtime_error "Cannot write file : " and the path when that fails.
ManagementChannel PrepareManagementChannel(const std::string& privateDirectory, std::uint64_t launch);

// The configuration text with its management option pointed at the channel: the
// first "management" line is replaced, later ones are dropped, and the line is
// appended when the text has none.
std::string WithManagementChannel(const std::string& configText, const ManagementChannel& channel);

// Thrown when the far end of the channel is not the OpenVPN launched for it.
class ForeignManagementPeer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connects to the channel, checks that the far end is the OpenVPN launched as processId
// before anything is sent to it and, for a channel with a password, passes OpenVPN's
// password prompt, waiting at most replyTimeout for its answer. Throws the system's
// error text, " id[", the code and "]"; ForeignManagementPeer; or "Management password
// refused".
std::unique_ptr<LocalSocketClient> ConnectManagementChannel(const ManagementChannel& channel, std::uint32_t processId,
                                                            std::chrono::milliseconds replyTimeout);

// Answers the password prompt that OpenVPN sends on a new management connection;
// throws "Management password refused" unless OpenVPN confirms the password within
// replyTimeout.
void EnterManagementPassword(Socket& management, const std::string& password,
                             std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(2000));

// Removes the channel's socket file and password file, if any.
void RemoveManagementChannel(const ManagementChannel& channel);

// True when the far end of a management connection was opened by that process.
bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId);

}  // namespace vortan
