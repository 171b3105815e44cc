// The contract tables' fixture on Windows: this process's own user (with its token)
// is the other user, and a user known by SID alone, without a token, is refused
// everywhere. Wine grants every access and keeps no owner of a file.
#include "SeamFixture.h"

#include "WindowsTestSupport.h"
#include "platform/windows/NativeIdentity.h"

namespace vortan {
namespace test {

struct SeamFixture::Native {
  ScratchDirectory scratch;
  bool winsock = false;
  SOCKET listener = INVALID_SOCKET;
};

SeamFixture::SeamFixture() : native_(new Native) {
  WSADATA data;
  native_->winsock = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SeamFixture::~SeamFixture() {
  StopListeningLocally();
  if (native_->winsock) ::WSACleanup();
}

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
  native_->listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (native_->listener == INVALID_SOCKET ||
      ::bind(native_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(native_->listener, 1) != 0 ||
      ::getsockname(native_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return std::string();
  }
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

void SeamFixture::StopListeningLocally() {
  if (native_->listener != INVALID_SOCKET) ::closesocket(native_->listener);
  native_->listener = INVALID_SOCKET;
}

}  // namespace test
}  // namespace vortan
