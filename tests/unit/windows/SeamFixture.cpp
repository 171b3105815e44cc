// The contract tables' fixture on Windows: this process's own user (with its token)
// is the other user, and a user known by SID alone, without a token, is refused
// everywhere. Wine grants every access and keeps no owner of a file.
#include "SeamFixture.h"

#include "LoopbackSockets.h"
#include "WindowsTestSupport.h"
#include "platform/windows/NativeIdentity.h"

namespace vortan {
namespace test {

struct SeamFixture::Native {
  ScratchDirectory scratch;
  platform::SocketHandle listener = platform::kInvalidSocket;
};

SeamFixture::SeamFixture() : native_(new Native) {}

SeamFixture::~SeamFixture() { StopListeningLocally(); }

std::string SeamFixture::Path(const std::string& name) const {
  return native_->scratch.Path(platform::Utf8ToWide(name));
}

std::string SeamFixture::SpecialFile() const { return "NUL"; }

std::string SeamFixture::ServiceOnlyPath(const std::string& name) const { return Path(name); }

// Links need a privilege that a test does not hold.
std::string SeamFixture::LinkToServiceOnlyFile() const { return std::string(); }

platform::CallerIdentity SeamFixture::User() const { return OwnProcessUser(); }

platform::CallerIdentity SeamFixture::Refused() const {
  return *platform::IdentityOfSidText("S-1-5-21-1111-2222-3333-1001");
}

bool SeamFixture::ActsAsItself() const {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return true;
  ::CloseHandle(token);
  return false;
}

bool SeamFixture::OwnedBy(const std::string&, const platform::CallerIdentity&) const { return true; }

// Wine lists every connection under process 0.
bool SeamFixture::NamesSocketOwners() const {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

std::string SeamFixture::ListenLocally() {
  int port = 0;
  native_->listener = OpenListener(&port);
  return port == 0 ? std::string() : "127.0.0.1:" + std::to_string(port);
}

void SeamFixture::StopListeningLocally() {
  if (native_->listener != platform::kInvalidSocket) platform::CloseSocket(native_->listener);
  native_->listener = platform::kInvalidSocket;
}

}  // namespace test
}  // namespace vortan
