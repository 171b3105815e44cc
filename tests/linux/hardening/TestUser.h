#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NetnsSupport.h"

namespace vortan {
namespace test {

// A system user created for one test and deleted afterwards, with a home directory
// that the user owns.
class TestUser {
 public:
  TestUser();
  ~TestUser();
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;

  bool Created() const { return uid_ != 0; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }
  const std::string& Name() const { return name_; }
  const std::string& Home() const { return home_; }
  // The certificate and key files a client keeps beside its configuration prefix (the
  // shipped templates name prefix + ca.crt, client.crt, client.key), owned by the user.
  void DepositClientFiles(const std::string& prefix) const;

 private:
  std::string name_;
  std::string home_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// A child process that joined the namespace under a user's identity and runs body.
// It reports its findings line by line through a pipe and can wait for the parent's
// go-ahead. The destructor waits for the child to end.
class AsUser {
 public:
  AsUser(const TestUser& user, const NetworkNamespace& ns, const std::function<void(AsUser&)>& body);
  // In the namespace the parent is in.
  AsUser(const TestUser& user, const std::function<void(AsUser&)>& body);
  ~AsUser();
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;

  // In the child.
  void Report(const std::string& finding);
  void AwaitGoAhead();

  // In the parent: the next finding, "<none>" when the child ended without one.
  std::string Next();
  void GoAhead();

 private:
  AsUser(const TestUser& user, const std::string& namespacePath, const std::function<void(AsUser&)>& body);
  pid_t child_ = -1;
  int toParent_[2] = {-1, -1};
  int toChild_[2] = {-1, -1};
};

// The service of a layout with templates, run in a network namespace of its own and
// shut down after the test.
class ServiceInNamespaceTest : public ::testing::Test {
 protected:
  explicit ServiceInNamespaceTest(const std::string& prefix) : ns_(prefix) {}
  void TearDown() override {
    if (service_) Connect()->Ask("shutdown");
  }
  // moreWrapper runs between the namespace's wrapper and the service.
  void StartService(const std::vector<std::string>& moreWrapper = {}) {
    std::vector<std::string> wrapper = ns_.ExecWrapper();
    wrapper.insert(wrapper.end(), moreWrapper.begin(), moreWrapper.end());
    service_ = std::make_unique<ServiceProcess>(layout_, std::vector<std::string>{"/console"}, wrapper);
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint_));
  }
  // A session of root from inside the namespace, its welcome read.
  std::unique_ptr<LineClient> Connect() {
    auto client = ns_.Connect(endpoint_);
    client->ReadLine();
    return client;
  }
  // One request in a fresh session of user (welcome read); the reply as sent.
  std::string AskAs(const TestUser& user, const std::string& request) {
    AsUser child(user, ns_, [&](AsUser& self) {
      LineClient client(endpoint_);
      client.ReadLine();
      self.Report(client.Ask(request));
    });
    return child.Next();
  }
  // Installs script as bin/<program>, in place of a link there, for root to run.
  void InstallProgram(const std::string& program, const std::string& script) {
    const std::string path = layout_.Bin() + "/" + program;
    std::filesystem::remove(path);
    WriteFile(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  InstalledLayout layout_{true};
  NetworkNamespace ns_;
  std::unique_ptr<ServiceProcess> service_;
  Endpoint endpoint_;
};

}  // namespace test
}  // namespace vortan
