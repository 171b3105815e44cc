#pragma once

#include <sys/types.h>

#include <string>

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

 private:
  std::string name_;
  std::string home_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

}  // namespace test
}  // namespace vortan
