#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

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
  pid_t child_ = -1;
  int toParent_[2] = {-1, -1};
  int toChild_[2] = {-1, -1};
};

}  // namespace test
}  // namespace vortan
