// The contract tables' fixture on Linux: root acts as the service, "nobody" as the
// other user, and a directory only root may enter holds what that user is refused.
#include "SeamFixture.h"

#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#include "TestCommon.h"
#include "platform/linux/NativeIdentity.h"

namespace vortan {
namespace test {

struct SeamFixture::Native {
  std::string scratch;
  std::string serviceOnly;
  uid_t user = 0;
  gid_t group = 0;
  int listener = -1;
};

SeamFixture::SeamFixture() : native_(new Native) {
  native_->scratch = TempPath(UniqueName("seam"));
  native_->serviceOnly = TempPath(UniqueName("root"));
  if (mkdir(native_->scratch.c_str(), 0755) != 0 || mkdir(native_->serviceOnly.c_str(), 0700) != 0 ||
      mkfifo(SpecialFile().c_str(), 0666) != 0) {
    unavailable_ = "cannot prepare the scratch directories";
    return;
  }
  std::error_code ignored;
  std::filesystem::create_symlink(ServiceOnlyPath("secret"), Path("link"), ignored);
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    unavailable_ = "acting as another user needs root and the user nobody";
    return;
  }
  native_->user = nobody->pw_uid;
  native_->group = nobody->pw_gid;
  if (chown(native_->scratch.c_str(), native_->user, native_->group) != 0) unavailable_ = "cannot hand the scratch directory to nobody";
}

SeamFixture::~SeamFixture() {
  StopListeningLocally();
  std::error_code ignored;
  if (!native_->scratch.empty()) std::filesystem::remove_all(native_->scratch, ignored);
  if (!native_->serviceOnly.empty()) std::filesystem::remove_all(native_->serviceOnly, ignored);
}

std::string SeamFixture::Path(const std::string& name) const { return native_->scratch + "/" + name; }

std::string SeamFixture::SpecialFile() const { return Path("fifo"); }

std::string SeamFixture::ServiceOnlyPath(const std::string& name) const { return native_->serviceOnly + "/" + name; }

std::string SeamFixture::LinkToServiceOnlyFile() const { return Path("link"); }

platform::CallerIdentity SeamFixture::User() const { return platform::IdentityOfUser(native_->user); }

platform::CallerIdentity SeamFixture::Refused() const { return User(); }

// An invalid id changes nothing and returns the thread's file-system user.
bool SeamFixture::ActsAsItself() const { return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == geteuid(); }

bool SeamFixture::OwnedBy(const std::string& path, const platform::CallerIdentity& identity) const {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_uid == platform::UserIdOf(identity);
}

bool SeamFixture::NamesSocketOwners() const { return true; }

std::string SeamFixture::ListenLocally() {
  const std::string path = Path("local.sock");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::string();
  std::memcpy(address.sun_path, path.data(), path.size());
  native_->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (native_->listener < 0 || bind(native_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(native_->listener, 1) != 0) {
    return std::string();
  }
  return path;
}

void SeamFixture::StopListeningLocally() {
  if (native_->listener >= 0) close(native_->listener);
  native_->listener = -1;
}

}  // namespace test
}  // namespace vortan
