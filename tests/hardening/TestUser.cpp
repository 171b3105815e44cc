#include "TestUser.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace vortan {
namespace test {

TestUser::TestUser() : name_(UniqueName("vtu")) {
  home_ = "/tmp/" + name_;
  if (RunCommand({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name_}) != 0) return;
  passwd* entry = getpwnam(name_.c_str());
  if (entry == nullptr) return;
  uid_ = entry->pw_uid;
  gid_ = entry->pw_gid;
  std::filesystem::create_directories(home_);
  if (chown(home_.c_str(), uid_, gid_) != 0) uid_ = 0;
}

TestUser::~TestUser() {
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
  RunCommand({"userdel", name_});
}

}  // namespace test
}  // namespace vortan
