#include <gtest/gtest.h>

#include <cerrno>

#include "platform/linux/ErrnoError.h"

namespace platform {
namespace {

TEST(ErrnoError, EveryErrnoValueHasItsKind) {
  struct {
    int code;
    ErrorKind kind;
  } cases[] = {
      {0, ErrorKind::None},
      {EACCES, ErrorKind::AccessDenied},
      {EPERM, ErrorKind::AccessDenied},
      {EEXIST, ErrorKind::AlreadyExists},
      {ENOENT, ErrorKind::NotFound},
      {ENODEV, ErrorKind::NotFound},
      {ENXIO, ErrorKind::NotFound},
      {EINVAL, ErrorKind::Invalid},
      {EAGAIN, ErrorKind::WouldBlock},
      {EWOULDBLOCK, ErrorKind::WouldBlock},
      {EINPROGRESS, ErrorKind::WouldBlock},
      {ESRCH, ErrorKind::ProcessGone},
      {ECHILD, ErrorKind::ProcessGone},
      {ENETUNREACH, ErrorKind::Other},
      {EIO, ErrorKind::Other},
      {EPROTO, ErrorKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(KindOfErrno(c.code), c.kind) << c.code;
}

TEST(ErrnoError, KeepsTheNativeCodeAndTheStep) {
  const Error error = ErrnoError(EEXIST, "RTM_NEWROUTE");
  EXPECT_TRUE(error.Failed());
  EXPECT_TRUE(IsAlreadyExists(error));
  EXPECT_FALSE(IsAccessDenied(error));
  EXPECT_EQ(error.Code(), EEXIST);
  EXPECT_STREQ(error.Step(), "RTM_NEWROUTE");
  EXPECT_TRUE(ErrnoError(0, "RTM_NEWROUTE").Succeeded());
  EXPECT_TRUE(Error::Success().Succeeded());
}

TEST(ErrnoError, NotPermittedIsTheSystemsOwnRefusal) {
  const Error refusal = NotPermitted("route del");
  EXPECT_TRUE(IsAccessDenied(refusal));
  EXPECT_EQ(refusal.Code(), EPERM);
  EXPECT_STREQ(refusal.Step(), "route del");
}

}  // namespace
}  // namespace platform
