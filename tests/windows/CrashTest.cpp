#include "platform/Crash.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "TestCommon.h"
#include "WindowsTestSupport.h"

namespace {

using vortan::test::ExecutableDirectory;
using vortan::test::ReadFile;

// A UTF-8 path in the temporary directory, unique to this process.
std::string TemporaryPath(const std::string& name) {
  const std::string unique = name + std::to_string(::GetCurrentProcessId());
  return (std::filesystem::temp_directory_path() / std::filesystem::u8path(unique)).u8string();
}

// Runs the stand-in child until it ends; its exit code, or -1 when it could not run.
long RunChild(const std::string& arguments) {
  const std::string commandLine = "\"" + ExecutableDirectory() + "\\stand_in_child.exe\" " + arguments;
  return vortan::test::RunToEnd(platform::Utf8ToWide(commandLine), DETACHED_PROCESS, 30000);
}

// A child that faults: its handler logs the fault through the handler-safe calls and
// writes a minidump, then the process ends with the fault's own code.
TEST(Crash, FaultingChildWritesMinidumpAndEndsWithTheFault) {
  const std::string dump = TemporaryPath("vortan-crash-") + ".dmp";
  const auto remove = [&] {
    for (const std::string& path : {dump, dump + ".log"}) ::DeleteFileA(path.c_str());
  };
  remove();
  EXPECT_EQ(static_cast<unsigned long>(RunChild("--fault \"" + dump + "\"")), 0xC0000005ul);
  const std::string written = ReadFile(dump);
  ASSERT_GE(written.size(), 4u);
  EXPECT_EQ(written.substr(0, 4), "MDMP");
  EXPECT_EQ(ReadFile(dump + ".log"), "fault 3221225477\n");
  remove();
}

TEST(Crash, DumpOnRequestWithoutFault) {
  const std::string dump = TemporaryPath("vortan-request-") + ".dmp";
  platform::Error error;
  const std::intptr_t file = platform::CreateDumpFile(dump, &error);
  ASSERT_NE(file, -1) << error.Code();
  const platform::CrashContext none{0, 0, nullptr};
  EXPECT_TRUE(platform::WriteDump(file, none).Succeeded());
  platform::CloseDumpFile(file);
  EXPECT_EQ(ReadFile(dump).substr(0, 4), "MDMP");
  ::DeleteFileA(dump.c_str());
}

TEST(Crash, DumpFileInMissingDirectoryReportsTheSystemCode) {
  platform::Error error;
  EXPECT_EQ(platform::CreateDumpFile(TemporaryPath("no-such-dir-") + "\\x.dmp", &error), -1);
  EXPECT_EQ(error.Code(), ERROR_PATH_NOT_FOUND);
}

// The log path is UTF-8, whatever the system's code page.
TEST(Crash, AppendKeepsWhatTheFileHeld) {
  const std::string path = TemporaryPath("vortan-append-\xC3\xA9-");
  const std::filesystem::path native = std::filesystem::u8path(path);
  std::filesystem::remove(native);
  for (const char* text : {"one\n", "two\n"}) {
    const std::intptr_t file = platform::OpenForAppend(path.c_str());
    ASSERT_NE(file, -1);
    EXPECT_TRUE(platform::WriteWithin(file, text, 4, 100));
    platform::CloseFile(file);
  }
  EXPECT_EQ(ReadFile(path), "one\ntwo\n");
  std::filesystem::remove(native);
}

// A pipe nobody reads must not hold the handler longer than its wait.
TEST(Crash, WriteToFullPipeGivesUpAfterTheWait) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
  const std::string block(1 << 20, 'x');
  const DWORD start = ::GetTickCount();
  EXPECT_FALSE(platform::WriteWithin(reinterpret_cast<std::intptr_t>(writeEnd), block.data(), block.size(), 200));
  EXPECT_LT(::GetTickCount() - start, 10000u);
  ::CloseHandle(readEnd);
  ::CloseHandle(writeEnd);
}

TEST(Crash, CurrentTimeIsUnixTime) {
  std::int64_t seconds = 0;
  std::int32_t microseconds = -1;
  platform::CurrentTime(&seconds, &microseconds);
  const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
  EXPECT_LE(std::llabs(seconds - now), 5);
  EXPECT_GE(microseconds, 0);
  EXPECT_LT(microseconds, 1000000);
}

}  // namespace
