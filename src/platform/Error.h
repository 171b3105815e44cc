#pragma once

#include <cstdint>

// The outcome of a platform operation: success, or what went wrong (a kind the callers
// decide on), the operating system's own code (to report it as the system gave it) and
// the step that failed (a short fixed text naming the system call or request).
namespace platform {

enum class ErrorKind {
  None = 0,       // success
  AccessDenied,   // the caller lacks the right or privilege
  AlreadyExists,  // the object to create is there already
  NotFound,       // the object named does not exist (any more)
  Invalid,        // the request itself is malformed
  WouldBlock,     // the operation would have to wait
  ProcessGone,    // the process named has ended
  Other
};

// The operating system's error code: errno on Linux, the Win32 or Winsock code on Windows.
using NativeErrorCode = std::int64_t;

class Error {
 public:
  // Success.
  constexpr Error() = default;
  // step must be a text that lives as long as the program (a literal).
  constexpr Error(ErrorKind kind, NativeErrorCode code, const char* step) : kind_(kind), code_(code), step_(step) {}

  static constexpr Error Success() { return Error(); }

  constexpr bool Succeeded() const { return kind_ == ErrorKind::None; }
  constexpr bool Failed() const { return kind_ != ErrorKind::None; }
  constexpr ErrorKind Kind() const { return kind_; }
  constexpr bool Is(ErrorKind kind) const { return kind_ == kind; }
  constexpr NativeErrorCode Code() const { return code_; }
  constexpr const char* Step() const { return step_; }

 private:
  ErrorKind kind_ = ErrorKind::None;
  NativeErrorCode code_ = 0;
  const char* step_ = "";
};

constexpr bool IsAccessDenied(const Error& error) { return error.Is(ErrorKind::AccessDenied); }
constexpr bool IsAlreadyExists(const Error& error) { return error.Is(ErrorKind::AlreadyExists); }
constexpr bool IsNotFound(const Error& error) { return error.Is(ErrorKind::NotFound); }
constexpr bool IsInvalid(const Error& error) { return error.Is(ErrorKind::Invalid); }
constexpr bool IsWouldBlock(const Error& error) { return error.Is(ErrorKind::WouldBlock); }
constexpr bool IsProcessGone(const Error& error) { return error.Is(ErrorKind::ProcessGone); }

// The refusal of an operation the caller is not permitted to do, as the platform reports
// it, for refusals the service decides itself on the platform's behalf.
Error NotPermitted(const char* step);

}  // namespace platform
