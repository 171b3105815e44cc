#pragma once

#include <string>
#include <utility>

#include "platform/CallerIdentity.h"
#include "platform/Files.h"

namespace vortan {

// Writes files as one user: the requesting client for the files at the client's prefix,
// the service itself for the private copies that OpenVPN and stunnel read. The files are
// rendered first; every write of a generated file goes through a writer, so the user a
// file is written as is decided where the writer is made.
class FileWriter {
 public:
  explicit FileWriter(platform::CallerIdentity identity) : identity_(std::move(identity)) {}
  virtual ~FileWriter() = default;

  // Creates or truncates path and writes bytes with the writer's user's rights; returns
  // success or the platform error.
  virtual platform::Error Write(const std::string& path, const std::string& bytes, platform::FileAccess access) const {
    return platform::WriteFileAs(identity_, path, bytes, access);
  }

 private:
  platform::CallerIdentity identity_;
};

}  // namespace vortan
