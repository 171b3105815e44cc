#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace vortan {
namespace test {

// A network namespace of its own for one test, with lo up; deleted (with every
// interface inside it and its resolver file) on destruction. End the processes you
// started inside it before it goes.
class NetworkNamespace {
 public:
  // prefix: at most 6 characters, the rest of the name is made unique to the run.
  explicit NetworkNamespace(const std::string& prefix = "vtns");
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  const std::string& Name() const { return name_; }
  // The namespace file, for setns().
  std::string Path() const { return "/run/netns/" + name_; }
  // Prefix that runs a program inside, for ServiceProcess's wrapper argument.
  std::vector<std::string> ExecWrapper() const { return {"ip", "netns", "exec", name_}; }

  // Runs "ip -n NAME <arguments>" (arguments split at blanks by the shell); returns the
  // exit status. Output (stdout and stderr) is captured when requested.
  int Ip(const std::string& arguments, std::string* output = nullptr) const;
  // Like Ip, but a failure ends the test set-up with an exception naming the command.
  void MustIp(const std::string& arguments) const;

  // The file "ip netns exec" mounts over /etc/resolv.conf for programs started inside.
  void WriteResolvConf(const std::string& content) const;

  // Runs function on a fresh thread that has joined this namespace and waits for it;
  // an exception thrown by function is rethrown here. Sockets opened by function stay
  // in this namespace when used from other threads later.
  void Run(const std::function<void()>& function) const;

  // A TCP client connected from inside the namespace.
  std::unique_ptr<LineClient> Connect(const Endpoint& endpoint) const;

  // A TAP device inside the namespace (created down).
  void AddTap(const std::string& name) const;
  // A veth pair with both ends inside the namespace, both up.
  void AddVethPair(const std::string& name, const std::string& peerName) const;

 private:
  std::string name_;
};

}  // namespace test
}  // namespace vortan
