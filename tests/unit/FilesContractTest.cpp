// What every backend of the file seam promises: reads and writes done with the rights of
// the identity named, regular files only, reads bounded, and the failure kinds callers
// decide on. The system's own setting of users and files comes from SeamFixture.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "SeamFixture.h"
#include "TestCommon.h"
#include "platform/Files.h"

namespace vortan {
namespace {

using platform::ErrorKind;
using platform::FileAccess;

enum class Who { kService, kUser, kRefused };

class FilesContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fixture_.Unavailable().empty()) GTEST_SKIP() << fixture_.Unavailable();
    test::WriteFile(fixture_.Path("ten"), "0123456789");
    test::WriteFile(fixture_.Path("caf\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac.txt"), "bytes\r\nand more");
    test::WriteFile(fixture_.ServiceOnlyPath("secret"), "root only\n");
    std::filesystem::create_directory(fixture_.Path("folder"));
  }

  platform::CallerIdentity As(Who who) const {
    if (who == Who::kService) return platform::ServiceIdentity();
    return who == Who::kUser ? fixture_.User() : fixture_.Refused();
  }

  test::SeamFixture fixture_;
};

TEST_F(FilesContract, ReadFileAsReadsRegularFilesUpToTheBoundWithTheReadersRights) {
  const struct {
    const char* name;
    std::string path;
    std::size_t maxBytes;
    std::vector<Who> readers;
    ErrorKind kind;
    const char* content;
  } rows[] = {
      {"exactly the bound", fixture_.Path("ten"), 10, {Who::kService, Who::kUser}, ErrorKind::None, "0123456789"},
      {"one byte too many", fixture_.Path("ten"), 9, {Who::kService, Who::kUser}, ErrorKind::Other, ""},
      {"a directory", fixture_.Path("folder"), 100, {Who::kService, Who::kUser}, ErrorKind::Invalid, ""},
      {"missing", fixture_.Path("missing"), 100, {Who::kService, Who::kUser}, ErrorKind::NotFound, ""},
      {"no regular file", fixture_.SpecialFile(), 100, {Who::kService, Who::kUser}, ErrorKind::Invalid, ""},
      {"the service's file", fixture_.ServiceOnlyPath("secret"), 100, {Who::kService}, ErrorKind::None, "root only\n"},
      {"a file refused", fixture_.ServiceOnlyPath("secret"), 100, {Who::kRefused}, ErrorKind::AccessDenied, ""},
      {"a link to a file refused", fixture_.LinkToServiceOnlyFile(), 100, {Who::kRefused}, ErrorKind::AccessDenied, ""},
  };
  for (const auto& row : rows) {
    if (row.path.empty()) continue;  // no such link on this system
    for (Who reader : row.readers) {
      std::string content;
      const platform::Error error = platform::ReadFileAs(As(reader), row.path, row.maxBytes, &content);
      EXPECT_EQ(error.Kind(), row.kind) << row.name << " as " << static_cast<int>(reader) << ": " << error.Code();
      if (row.kind == ErrorKind::None || row.kind == ErrorKind::AccessDenied) {
        EXPECT_EQ(content, row.content) << row.name;  // nothing of a file refused
      }
      EXPECT_TRUE(fixture_.ActsAsItself()) << row.name;
    }
  }
}

TEST_F(FilesContract, WholeFileReadsTakeUtf8PathsAndTellAMissingFile) {
  const std::string utf8 = fixture_.Path("caf\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac.txt");
  const struct {
    std::string path;
    ErrorKind kind;
    const char* content;
  } rows[] = {{utf8, ErrorKind::None, "bytes\r\nand more"}, {fixture_.Path("missing"), ErrorKind::NotFound, ""}};
  for (const auto& row : rows) {
    std::string content;
    EXPECT_EQ(platform::ReadWholeFile(row.path, &content).Kind(), row.kind) << row.path;
    EXPECT_EQ(platform::CanOpenForReading(row.path), row.kind == ErrorKind::None) << row.path;
    if (row.kind == ErrorKind::None) {
      EXPECT_EQ(content, row.content);
    }
  }
}

// kFailed: refused, with a kind that differs between systems.
enum class Write { kWritten, kRefused, kFailed };

TEST_F(FilesContract, WriteFileAsWritesRegularFilesWithTheWritersRights) {
  const struct {
    const char* name;
    Who writer;
    std::string path;
    Write outcome;
  } rows[] = {
      {"the user's own file", Who::kUser, fixture_.Path("own.conf"), Write::kWritten},
      {"the service's own file", Who::kService, fixture_.ServiceOnlyPath("copy"), Write::kWritten},
      {"where the writer may not", Who::kRefused, fixture_.ServiceOnlyPath("planted"), Write::kRefused},
      {"through a link", Who::kRefused, fixture_.LinkToServiceOnlyFile(), Write::kRefused},
      {"a directory", Who::kUser, fixture_.Path("folder"), Write::kFailed},
      {"no regular file", Who::kUser, fixture_.SpecialFile(), Write::kFailed},
  };
  for (FileAccess access : {FileAccess::kDefault, FileAccess::kOwnerOnly}) {
    for (const auto& row : rows) {
      if (row.path.empty()) continue;  // no such link on this system
      const platform::Error error = platform::WriteFileAs(As(row.writer), row.path, "new\n", access);
      EXPECT_EQ(error.Succeeded(), row.outcome == Write::kWritten) << row.name << ": " << error.Code();
      if (row.outcome == Write::kRefused) {
        EXPECT_TRUE(platform::IsAccessDenied(error)) << row.name;
      }
      if (row.outcome == Write::kWritten) {
        EXPECT_EQ(test::ReadFile(row.path), "new\n") << row.name;
        EXPECT_TRUE(fixture_.OwnedBy(row.path, As(row.writer))) << row.name;
      }
      EXPECT_TRUE(fixture_.ActsAsItself()) << row.name;
    }
  }
  EXPECT_EQ(test::ReadFile(fixture_.ServiceOnlyPath("secret")), "root only\n");
  EXPECT_FALSE(test::FileExists(fixture_.ServiceOnlyPath("planted")));
  EXPECT_TRUE(std::filesystem::is_directory(fixture_.Path("folder")));
}

TEST_F(FilesContract, OwnerOnlyDirectoriesAreMadeOrNarrowedButNeverReplaceAFile) {
  test::WriteFile(fixture_.Path("plain"), "x");
  const struct {
    const char* name;
    std::string path;
    bool made;
  } rows[] = {
      {"new", fixture_.Path("private"), true},
      {"made before", fixture_.Path("private"), true},
      {"an existing directory", fixture_.Path("folder"), true},
      {"a file", fixture_.Path("plain"), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(platform::MakeOwnerOnlyDirectory(row.path).Succeeded(), row.made) << row.name;
    EXPECT_EQ(std::filesystem::is_directory(row.path), row.made) << row.name;
  }
}

}  // namespace
}  // namespace vortan
