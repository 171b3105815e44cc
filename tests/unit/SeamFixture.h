#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/CallerIdentity.h"

// What the contract tables of the platform seams need from the system they run on: a
// scratch directory, another user, an identity the system refuses. Each system builds
// it its own way (linux/, windows/); the tables hold the cases both systems share.
namespace vortan {
namespace test {

class SeamFixture {
 public:
  SeamFixture();
  ~SeamFixture();
  SeamFixture(const SeamFixture&) = delete;
  SeamFixture& operator=(const SeamFixture&) = delete;

  // Empty when the fixture could be set up; else why not (the test is skipped).
  const std::string& Unavailable() const { return unavailable_; }

  // A path in a scratch directory that every identity below may read and write.
  std::string Path(const std::string& name) const;
  // Something at a path that is no regular file and no directory: a FIFO, a device.
  std::string SpecialFile() const;
  // A path where the service may write and Refused() may not.
  std::string ServiceOnlyPath(const std::string& name) const;
  // A link in the scratch directory to a file only the service may read; empty where
  // the system makes no such link for a test.
  std::string LinkToServiceOnlyFile() const;

  // A local user other than the service that may act in the scratch directory.
  platform::CallerIdentity User() const;
  // An identity whose file accesses the system refuses outside the scratch directory.
  platform::CallerIdentity Refused() const;

  // True when the calling thread acts with the process's own identity again.
  bool ActsAsItself() const;
  // True when path is owned by identity, or the system keeps no owner to compare.
  bool OwnedBy(const std::string& path, const platform::CallerIdentity& identity) const;

  // False where the system's table of connections names no owner process (Wine).
  bool NamesSocketOwners() const;
  // Listens at a local socket address of this system's kind; empty when it cannot.
  std::string ListenLocally();
  void StopListeningLocally();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
  std::string unavailable_;
};

}  // namespace test
}  // namespace vortan
