#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/socket.h"

namespace vortan {

// How the service reaches the management interface of the OpenVPN it launched.
// Whoever reaches that interface controls a root process, so the channel is a local
// socket in the root-only run directory: no other user can connect to it or take it
// first. (A platform without local sockets would use a loopback endpoint guarded by a
// management password in a file only the service can read; the choice is made here.)
// The client's own configuration copy keeps its loopback endpoint: OpenVPN never
// reads that copy.
struct ManagementChannel {
  std::string socketPath;

  // The channel as log lines name it.
  const std::string& Text() const { return socketPath; }
};

// The channel for launch number launch, in the root-only directory: a path of its
// own for every launch, so that a process of an earlier launch is never taken for
// the new one. Throws std::runtime_error when the path does not fit a socket address.
ManagementChannel ManagementChannelFor(const std::string& privateDirectory, std::uint64_t launch);

// The channel of the next launch, with any socket file that an earlier run of the
// service left at its path removed: the listen thread would take that file for
// OpenVPN's and spend its connection attempts before OpenVPN opens the channel.
ManagementChannel PrepareManagementChannel(const std::string& privateDirectory, std::uint64_t launch);

// The configuration text with its management option pointed at the channel: the
// first "management" line is replaced, later ones are dropped, and the line is
// appended when the text has none.
std::string WithManagementChannel(const std::string& configText, const ManagementChannel& channel);

// Connects to the channel; throws the system's error text, " id[", the code and "]".
std::unique_ptr<LocalSocketClient> ConnectManagementChannel(const ManagementChannel& channel);

// True when something listens on the channel (OpenVPN creates the socket file a
// moment before it listens there).
bool ManagementChannelOpen(const ManagementChannel& channel);

// Removes the channel's socket file, if any.
void RemoveManagementChannel(const ManagementChannel& channel);

// True when the far end of a management connection was opened by that process.
bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId);

}  // namespace vortan
