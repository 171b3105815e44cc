#pragma once

#include <winsock2.h>
#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CallerIdentity.h"

// On Windows a caller is a user's security identifier, and, for a caller found behind a
// connection, an impersonation token of that caller's process: files are read and
// written on the caller's behalf by impersonating that token.
namespace platform {

struct CallerIdentity::Native {
  // Takes ownership of token (an impersonation token, or null).
  Native(std::vector<unsigned char> sidBytes, std::string sidString, HANDLE token)
      : sid(std::move(sidBytes)), sidText(std::move(sidString)), impersonationToken(token) {}
  ~Native() {
    if (impersonationToken != nullptr) ::CloseHandle(impersonationToken);
  }
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;

  PSID Sid() const { return const_cast<unsigned char*>(sid.data()); }

  std::vector<unsigned char> sid;  // the binary security identifier
  std::string sidText;             // its "S-1-..." form
  HANDLE impersonationToken;       // null for an identity known by its SID only
};

// The user of token (any token opened with TOKEN_QUERY); the identity keeps token as its
// impersonation token and closes it with its last copy, also on failure. Returns 0 or
// the Win32 code.
int IdentityOfToken(HANDLE token, std::optional<CallerIdentity>* identity);

// A user known by the "S-1-..." form of its SID only, without a token; nothing when the
// text is no SID.
std::optional<CallerIdentity> IdentityOfSidText(const std::string& sidText);

inline HANDLE ImpersonationTokenOf(const CallerIdentity& identity) { return identity.GetNative().impersonationToken; }

}  // namespace platform
