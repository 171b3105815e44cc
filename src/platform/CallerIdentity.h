#pragma once

#include <memory>
#include <string>
#include <utility>

// A local user as the system knows it: the owner of a client's connection, and the
// user whose rights a file is read or written with.
namespace platform {

// Opaque above the platform layer: what it holds is the system's own business. Copies
// share one immutable record.
class CallerIdentity {
 public:
  struct Native;  // defined by the platform's code

  explicit CallerIdentity(std::shared_ptr<const Native> native) : native_(std::move(native)) {}
  const Native& GetNative() const { return *native_; }

 private:
  std::shared_ptr<const Native> native_;
};

// True when both name the same user.
bool operator==(const CallerIdentity& left, const CallerIdentity& right);
inline bool operator!=(const CallerIdentity& left, const CallerIdentity& right) { return !(left == right); }

// The identity the service itself runs with: what is read or written as it is read or
// written with the service's own rights.
CallerIdentity ServiceIdentity();

// True for a user who holds the system's administrative rights.
bool IsPrivileged(const CallerIdentity& identity);

// True when the system has an account entry for the user (not so for ids a user only
// holds as subordinate or namespace ids).
bool HasAccount(const CallerIdentity& identity);

// The user as log lines name it.
std::string IdentityText(const CallerIdentity& identity);

}  // namespace platform
