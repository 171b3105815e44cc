#include "TestUser.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/wait.h>
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

void TestUser::DepositClientFiles(const std::string& prefix) const {
  for (const char* name : {"ca.crt", "client.crt", "client.key"}) {
    WriteFile(prefix + name, std::string("content of ") + name + "\n");
    if (lchown((prefix + name).c_str(), uid_, gid_) != 0) return;
  }
}

AsUser::AsUser(const TestUser& user, const NetworkNamespace& ns, const std::function<void(AsUser&)>& body)
    : AsUser(user, ns.Path(), body) {}

AsUser::AsUser(const TestUser& user, const std::function<void(AsUser&)>& body) : AsUser(user, "", body) {}

AsUser::AsUser(const TestUser& user, const std::string& namespacePath,
               const std::function<void(AsUser&)>& body) {
  if (pipe2(toParent_, O_CLOEXEC) != 0 || pipe2(toChild_, O_CLOEXEC) != 0) return;
  child_ = fork();
  if (child_ == 0) {
    close(toParent_[0]);
    close(toChild_[1]);
    if (!namespacePath.empty()) {
      const int netns = open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
      if (netns < 0 || setns(netns, CLONE_NEWNET) != 0) _exit(2);
    }
    if (setgroups(0, nullptr) != 0 || setgid(user.Gid()) != 0 || setuid(user.Uid()) != 0) _exit(3);
    body(*this);
    _exit(0);
  }
  close(toParent_[1]);
  close(toChild_[0]);
}

AsUser::~AsUser() {
  close(toChild_[1]);
  close(toParent_[0]);
  if (child_ > 0) waitpid(child_, nullptr, 0);
}

void AsUser::Report(const std::string& finding) {
  const std::string line = finding + "\n";
  if (write(toParent_[1], line.data(), line.size()) < 0) _exit(4);
}

void AsUser::AwaitGoAhead() {
  char ignored;
  if (read(toChild_[0], &ignored, 1) < 0) _exit(5);
}

std::string AsUser::Next() {
  std::string line;
  char c;
  while (read(toParent_[0], &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return "<none>";
}

void AsUser::GoAhead() {
  if (write(toChild_[1], "x", 1) < 0) return;
}

}  // namespace test
}  // namespace vortan
