#include "platform/Processes.h"

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestCommon.h"
#include "WindowsTestSupport.h"
#include "platform/Programs.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kExitWait{10000};

using vortan::test::ExecutableDirectory;
using vortan::test::UniqueName;

// The stand-in child program, built beside the test program.
std::string StandInChild() { return ExecutableDirectory() + "\\stand_in_child.exe"; }

platform::ExitRequest NamedEvent(const std::string& name) {
  return {platform::ExitRequest::Kind::kNamedEvent, name, {}};
}

// The stand-in child's environment for one test: the event it waits on and the file
// where it records how it was started. The child inherits the test's environment.
class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stopEvent_ = UniqueName("vortan-test-stop-");
    record_ = vortan::test::TempPath(UniqueName("vortan-record-") + ".txt");
    ::SetEnvironmentVariableA("STANDIN_STOP_EVENT", stopEvent_.c_str());
    ::SetEnvironmentVariableA("STANDIN_RECORD", record_.c_str());
  }
  void TearDown() override {
    process_.KillAndWait(kExitWait);
    ::SetEnvironmentVariableA("STANDIN_STOP_EVENT", nullptr);
    ::SetEnvironmentVariableA("STANDIN_RECORD", nullptr);
    ::DeleteFileA(record_.c_str());
    if (ownStopEvent_ != nullptr) ::CloseHandle(ownStopEvent_);
  }

  platform::NativeErrorCode LaunchWithEvent(std::vector<std::string> arguments = {}) {
    return process_.Launch(launcher_, {StandInChild(), std::move(arguments), "", NamedEvent(stopEvent_)}).Code();
  }

  std::string stopEvent_;
  std::string record_;
  // The stop event for children that are not asked to exit through it by the launcher.
  HANDLE ownStopEvent_ = nullptr;
  platform::ChildLauncher launcher_;
  platform::Process process_;
};

// --- Exit requests -----------------------------------------------------------------

// The event stays set after an exit request; a new launch must not see that request.
TEST_F(StandInTest, NamedEventExitRequestEndsTheChildButNotTheNextLaunch) {
  const struct {
    const char* name;
    milliseconds stillRunningAfter;
  } launches[] = {{"first launch", milliseconds(300)}, {"launch after an exit request", milliseconds(1000)}};
  for (const auto& launch : launches) {
    ASSERT_EQ(LaunchWithEvent(), 0) << launch.name;
    EXPECT_NE(process_.Id(), 0u) << launch.name;
    EXPECT_FALSE(process_.WaitForExit(launch.stillRunningAfter)) << launch.name;
    ASSERT_TRUE(process_.RequestExit().Succeeded()) << launch.name;
    ASSERT_TRUE(process_.WaitForExit(kExitWait)) << launch.name;
    EXPECT_FALSE(process_.Tracked()) << launch.name;
  }
}

TEST_F(StandInTest, ExitArgumentsRunTheProgramAgainWithQuotedConfiguration) {
  ownStopEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, stopEvent_.c_str());
  const std::string config = "C:\\Vortan data\\conf dir\\gw_stunnel.conf";
  // Launched the way the service launches stunnel, the stand-in in its place.
  const platform::ChildProgramFile stunnel = platform::StunnelProgram();
  std::vector<std::string> arguments = stunnel.leadingArguments;
  arguments.push_back(config);
  ASSERT_TRUE(process_.Launch(launcher_, {StandInChild(), arguments, "", stunnel.exitRequest}).Succeeded());
  EXPECT_TRUE(process_.RequestExit().Succeeded());
  EXPECT_TRUE(process_.WaitForExit(kExitWait));
  const std::string record = vortan::test::ReadFile(record_);
  EXPECT_NE(record.find("CMDLINE:\"" + StandInChild() + "\" -quiet \"" + config + "\"\n"), std::string::npos) << record;
  EXPECT_NE(record.find("ARG:-quiet\nARG:" + config + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("CMDLINE:\"" + StandInChild() + "\" -quiet -exit\n"), std::string::npos) << record;
}

// Arguments reach the child as they were given, whatever quotes and backslashes hold.
TEST_F(StandInTest, ArgumentsArriveUnchanged) {
  const std::vector<std::string> arguments = {"--config", "C:\\dir\\", "say \"hi\"", "", "a\\\\b c", "-x y"};
  ASSERT_EQ(LaunchWithEvent(arguments), 0);
  ASSERT_TRUE(process_.RequestExit().Succeeded());
  ASSERT_TRUE(process_.WaitForExit(kExitWait));
  std::string expected;
  for (const auto& argument : arguments) expected += "ARG:" + argument + "\n";
  const std::string record = vortan::test::ReadFile(record_);
  EXPECT_NE(record.find(expected), std::string::npos) << record;
}

// Whoever creates the exit event first could end every tunnel at will: an event of that
// name owned by another account is refused.
TEST_F(StandInTest, ExitEventSomebodyElseCreatedFirstIsRefused) {
  PSECURITY_DESCRIPTOR foreign = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA("O:WDD:(A;;GA;;;WD)", SDDL_REVISION_1, &foreign,
                                                                     nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, foreign, FALSE};
  ownStopEvent_ = ::CreateEventA(&attributes, TRUE, FALSE, stopEvent_.c_str());
  ::LocalFree(foreign);
  // Windows lets only a holder of the restore privilege give an object another owner.
  if (ownStopEvent_ == nullptr) GTEST_SKIP() << "cannot create an event owned by Everyone here";
  EXPECT_EQ(LaunchWithEvent(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(process_.Tracked());
}

TEST_F(StandInTest, WindowsProgramsNeedTheirOwnExitRequest) {
  EXPECT_TRUE(process_.Launch(launcher_, {StandInChild(), {}}).Failed());
  EXPECT_FALSE(process_.Tracked());
}

TEST_F(StandInTest, KilledProcessIsGoneForLaterRequests) {
  ASSERT_EQ(LaunchWithEvent(), 0);
  platform::Process moved(std::move(process_));
  EXPECT_FALSE(process_.Tracked());
  ASSERT_TRUE(moved.Tracked());
  HANDLE ended = ::OpenProcess(SYNCHRONIZE, FALSE, moved.Id());
  ASSERT_NE(ended, nullptr);
  EXPECT_TRUE(moved.Kill().Succeeded());
  EXPECT_EQ(::WaitForSingleObject(ended, 10000), WAIT_OBJECT_0);
  ::CloseHandle(ended);
  EXPECT_TRUE(platform::IsProcessGone(moved.RequestExit()));
  EXPECT_TRUE(platform::IsProcessGone(moved.Kill()));
  EXPECT_TRUE(moved.KillAndWait(kExitWait));
  EXPECT_FALSE(moved.Tracked());
}

TEST_F(StandInTest, MissingProgramFailsWithTheSystemCode) {
  const platform::Error error =
      process_.Launch(launcher_, {ExecutableDirectory() + "\\no-such-program.exe", {}, "", NamedEvent(stopEvent_)});
  EXPECT_EQ(error.Code(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(process_.Tracked());
}

// --- What the launched process lets others do --------------------------------------

// Another user may only wait for the service's child: never open it to read its memory,
// start a thread in it or end it.
TEST_F(StandInTest, EveryoneMayOnlySynchronizeWithTheChild) {
  ASSERT_EQ(LaunchWithEvent(), 0);
  HANDLE child = ::OpenProcess(READ_CONTROL, FALSE, process_.Id());
  ASSERT_NE(child, nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(child, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ::CloseHandle(child);
  ASSERT_NE(dacl, nullptr);
  const WELL_KNOWN_SID_TYPE trustees[] = {WinWorldSid, WinLocalSystemSid, WinBuiltinAdministratorsSid};
  std::vector<int> entries(3);  // of Everyone, SYSTEM and Administrators
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    for (int t = 0; t < 3; ++t) entries[t] += ::IsWellKnownSid(&ace->SidStart, trustees[t]) ? 1 : 0;
    if (::IsWellKnownSid(&ace->SidStart, WinWorldSid)) {
      EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(SYNCHRONIZE));
    }
  }
  ::LocalFree(descriptor);
  EXPECT_EQ(entries, std::vector<int>({1, 1, 1})) << "entries of Everyone, SYSTEM and Administrators";
}

// A child holding the write end of a pipe keeps it open after the test closes its own.
TEST_F(StandInTest, ChildInheritsNoHandle) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
  ASSERT_EQ(LaunchWithEvent(), 0);
  ::CloseHandle(writeEnd);
  DWORD available = 0;
  const BOOL peeked = ::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(readEnd);
  EXPECT_FALSE(peeked);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// --- The programs this system ships --------------------------------------------------

TEST(ChildPrograms, OpenVpnEndsThroughTheServiceExitEvent) {
  const platform::ChildProgramFile openVpn = platform::OpenVpnProgram();
  EXPECT_EQ(openVpn.relativePath, "openvpn.exe");
  EXPECT_EQ(openVpn.exitRequest.kind, platform::ExitRequest::Kind::kNamedEvent);
  EXPECT_EQ(openVpn.exitRequest.eventName, "VortanOpenVpnExitEvent");
  EXPECT_TRUE(openVpn.leadingArguments.empty());
}

TEST(ChildPrograms, StunnelRunsQuietAndEndsThroughItsExitRun) {
  const platform::ChildProgramFile stunnel = platform::StunnelProgram();
  EXPECT_EQ(stunnel.relativePath, "stunnel\\stunnel.exe");
  EXPECT_EQ(stunnel.exitRequest.kind, platform::ExitRequest::Kind::kExitArguments);
  EXPECT_EQ(stunnel.exitRequest.exitArguments, (std::vector<std::string>{"-quiet", "-exit"}));
  EXPECT_EQ(stunnel.leadingArguments, std::vector<std::string>{"-quiet"});
}

TEST(ChildPrograms, NothingToConfine) { EXPECT_TRUE(platform::ConfineLaunchedPrograms({"C:\\x"}).Succeeded()); }

}  // namespace
