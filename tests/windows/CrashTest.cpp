#include "platform/Crash.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\'));
}

std::string TemporaryPath(const std::string& name) {
  char directory[MAX_PATH];
  const DWORD length = ::GetTempPathA(MAX_PATH, directory);
  return std::string(directory, length) + name + std::to_string(::GetCurrentProcessId());
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs the stand-in child until it ends; its exit code, or -1 when it could not run.
long RunChild(const std::string& arguments) {
  std::string commandLine = "\"" + ExecutableDirectory() + "\\stand_in_child.exe\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &child)) {
    return -1;
  }
  ::CloseHandle(child.hThread);
  DWORD exitCode = 0;
  if (::WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0) ::TerminateProcess(child.hProcess, 99);
  ::GetExitCodeProcess(child.hProcess, &exitCode);
  ::CloseHandle(child.hProcess);
  return static_cast<long>(exitCode);
}

// A child that faults: its handler logs the fault through the handler-safe calls and
// writes a minidump, then the process ends with the fault's own code.
TEST(Crash, FaultingChildWritesMinidumpAndEndsWithTheFault) {
  const std::string dump = TemporaryPath("vortan-crash-") + ".dmp";
  ::DeleteFileA(dump.c_str());
  ::DeleteFileA((dump + ".log").c_str());
  EXPECT_EQ(static_cast<unsigned long>(RunChild("--fault \"" + dump + "\"")), 0xC0000005ul);
  const std::string written = ReadAll(dump);
  ASSERT_GE(written.size(), 4u);
  EXPECT_EQ(written.substr(0, 4), "MDMP");
  EXPECT_EQ(ReadAll(dump + ".log"), "fault 3221225477\n");
  ::DeleteFileA(dump.c_str());
  ::DeleteFileA((dump + ".log").c_str());
}

TEST(Crash, DumpOnRequestWithoutFault) {
  const std::string dump = TemporaryPath("vortan-request-") + ".dmp";
  platform::Error error;
  const std::intptr_t file = platform::CreateDumpFile(dump, &error);
  ASSERT_NE(file, -1) << error.Code();
  const platform::CrashContext none{0, 0, nullptr};
  EXPECT_TRUE(platform::WriteDump(file, none).Succeeded());
  platform::CloseDumpFile(file);
  EXPECT_EQ(ReadAll(dump).substr(0, 4), "MDMP");
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
  std::ifstream file(native, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  file.close();
  EXPECT_EQ(text.str(), "one\ntwo\n");
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
