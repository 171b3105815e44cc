#include "NetnsSupport.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vortan {
namespace test {

namespace {

std::string ResolverDirectory(const std::string& name) { return "/etc/netns/" + name; }

void JoinNamespace(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  int result = setns(fd, CLONE_NEWNET);
  int error = errno;
  close(fd);
  if (result != 0) throw std::runtime_error("setns " + path + ": " + std::strerror(error));
}

}  // namespace

NetworkNamespace::NetworkNamespace(const std::string& prefix) : name_(UniqueName(prefix)) {
  std::string output;
  if (RunCommand({"ip", "netns", "add", name_}, &output) != 0) {
    throw std::runtime_error("ip netns add " + name_ + " failed: " + output);
  }
  MustIp("link set lo up");
}

NetworkNamespace::~NetworkNamespace() {
  std::error_code ignored;
  std::filesystem::remove_all(ResolverDirectory(name_), ignored);
  RunCommand({"ip", "netns", "delete", name_});
}

int NetworkNamespace::Ip(const std::string& arguments, std::string* output) const {
  return Shell("ip -n " + name_ + " " + arguments + " 2>&1", output);
}

void NetworkNamespace::MustIp(const std::string& arguments) const {
  std::string output;
  if (Ip(arguments, &output) != 0) {
    throw std::runtime_error("ip -n " + name_ + " " + arguments + " failed: " + output);
  }
}

void NetworkNamespace::WriteResolvConf(const std::string& content) const {
  std::filesystem::create_directories(ResolverDirectory(name_));
  WriteFile(ResolverDirectory(name_) + "/resolv.conf", content);
}

void NetworkNamespace::Run(const std::function<void()>& function) const {
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      JoinNamespace(Path());
      function();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  worker.join();
  if (failure) std::rethrow_exception(failure);
}

std::unique_ptr<LineClient> NetworkNamespace::Connect(const Endpoint& endpoint) const {
  std::unique_ptr<LineClient> client;
  Run([&] { client = std::make_unique<LineClient>(endpoint); });
  return client;
}

void NetworkNamespace::AddTap(const std::string& name) const { MustIp("tuntap add dev " + name + " mode tap"); }

void NetworkNamespace::AddVethPair(const std::string& name, const std::string& peerName) const {
  MustIp("link add " + name + " type veth peer name " + peerName);
  MustIp("link set " + name + " up");
  MustIp("link set " + peerName + " up");
}

}  // namespace test
}  // namespace vortan
