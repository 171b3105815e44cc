#include "platform/EndpointGuard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/linux/ErrnoError.h"

// An nftables table of its own per endpoint, in the network namespace the service runs
// in: a rule on the output path rejects a connection whose socket belongs to any user
// but root. The socket's owner is the kernel's record, which the connecting user
// cannot change. The table goes in one transaction with the rule, so the endpoint is
// never open while it is replaced.
namespace platform {
namespace {

const char* const kNftPrograms[] = {"/usr/sbin/nft", "/sbin/nft"};
constexpr std::chrono::seconds kNftWait(10);

std::string TableName(int port) { return "vortan_qbr_" + std::to_string(port); }

std::string Dotted(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr value{};
  value.s_addr = address;
  return inet_ntop(AF_INET, &value, text, sizeof text) != nullptr ? text : "";
}

const char* NftProgram() {
  for (const char* program : kNftPrograms) {
    if (access(program, X_OK) == 0) return program;
  }
  return nullptr;
}

// Runs nft with one batch of commands; its output goes nowhere, its exit status tells.
Error RunNft(const std::string& commands, std::string* detail) {
  const char* program = NftProgram();
  if (program == nullptr) {
    *detail = "the nft program is not installed";
    return ErrnoError(ENOENT, "nft");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv = {const_cast<char*>(program), const_cast<char*>(commands.c_str()), nullptr};
  char* environment[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
  pid_t child = -1;
  int error = posix_spawn(&child, program, &actions, nullptr, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return ErrnoError(error, "posix_spawn");
  // Waited on through its own handle with a deadline; only this child is collected.
  const int handle = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (handle >= 0) {
    pollfd waiter{handle, POLLIN, 0};
    int ready;
    do {
      ready = poll(&waiter, 1, static_cast<int>(std::chrono::milliseconds(kNftWait).count()));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) kill(child, SIGKILL);
    close(handle);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return Error::Success();
  *detail = "nft ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return ErrnoError(EIO, "nft");
}

}  // namespace

Error GuardEndpoint(std::uint32_t address, int port, std::string* detail) {
  const std::string table = "ip " + TableName(port);
  const std::string dotted = Dotted(address);
  return RunNft("table " + table + "; delete table " + table + "; table " + table +
                    " { chain output { type filter hook output priority 0; policy accept; ip daddr " + dotted +
                    " tcp dport " + std::to_string(port) + " meta skuid != 0 reject with tcp reset; }; }",
                detail);
}

Error ReleaseEndpointGuard(std::uint32_t, int port, std::string* detail) {
  const std::string table = "ip " + TableName(port);
  // Declared first, so that the delete cannot fail on a table that is already gone.
  return RunNft("table " + table + "; delete table " + table, detail);
}

}  // namespace platform
