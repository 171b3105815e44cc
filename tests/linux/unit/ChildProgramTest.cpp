#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "tunnel/ChildProgram.h"
#include "common/Logging.h"
#include "common/Paths.h"
#include "TestSupport.h"

namespace vortan {
namespace {

using namespace std::chrono_literals;

// Collects the messages of the loggers whose identifier starts with "child-".
class ChildLines : public el::LogDispatchCallback {
 public:
  static std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
  }

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->logMessage()->logger()->id().rfind("child-", 0) != 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(data->logMessage()->message());
  }

 private:
  static inline std::mutex mutex_;
  static inline std::vector<std::string> lines_;
};

class ChildProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = test::UniqueName("child-");
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    el::Loggers::getLogger(logger_, true)->configure(quiet);
    el::Helpers::installLogDispatchCallback<ChildLines>("child-lines");
    ChildLines::Take();
    texts_ = ChildProgramTexts{logger_.c_str(), "launched #%v", "asked %v", "killing %v", "stopped"};
    timing_.exitWait = 300ms;
    timing_.pause = [this](std::chrono::milliseconds pause) { pauses_.push_back(pause); };
  }
  void TearDown() override {
    el::Helpers::uninstallLogDispatchCallback<ChildLines>("child-lines");
    el::Loggers::unregisterLogger(logger_);
    if (!script_.empty()) std::filesystem::remove(script_);
  }
  // A program beside the test executable, as the service's children lie beside it.
  platform::ChildProgramFile Script(const std::string& body) {
    const std::string name = test::UniqueName("child-program-");
    if (!script_.empty()) std::filesystem::remove(script_);
    script_ = ResolveBesideExecutable(name);
    test::WriteFile(script_, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(script_, std::filesystem::perms::owner_all);
    return platform::ChildProgramFile{name, platform::ExitRequest()};
  }

  std::string logger_;
  std::string script_;
  ChildProgramTexts texts_{};
  ChildProgramTiming timing_;
  std::vector<std::chrono::milliseconds> pauses_;
  platform::ChildLauncher launcher_;
};

TEST_F(ChildProgramTest, ProgramThatCannotStartIsTriedThreeTimesWithGrowingPauses) {
  ChildProgram program(launcher_, {test::UniqueName("missing-program-"), platform::ExitRequest()}, texts_, timing_);
  EXPECT_EQ(program.Launch({"--config", "a b"}, "/tmp", " --config a b"), ENOENT);
  EXPECT_FALSE(program.Tracked());
  EXPECT_EQ(pauses_, (std::vector<std::chrono::milliseconds>{0ms, 500ms, 1000ms}));
  const std::string attempt =
      "CreateProcess in current dir[/tmp] : path[" + program.Path() + "] cmdLine[ --config a b]";
  EXPECT_EQ(ChildLines::Take(),
            (std::vector<std::string>{attempt, "CreateProcess retry #1 error [2]",  //
                                      attempt, "CreateProcess retry #2 error [2]",  //
                                      attempt, "CreateProcess retry #3 error [2]"}));
}

// Options the system's build of a program always needs come before the arguments of
// each launch, and the log shows them.
TEST_F(ChildProgramTest, LeadingArgumentsComeFirst) {
  const std::string record = test::UniqueName("/tmp/child-arguments-");
  platform::ChildProgramFile file = Script("printf '%s\\n' \"$@\" > " + record);
  file.leadingArguments = {"-quiet"};
  ChildProgram program(launcher_, file, texts_, timing_);
  ASSERT_EQ(program.Launch({"/tmp/a b.conf"}, "/tmp", " /tmp/a b.conf"), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return test::ReadFile(record) == "-quiet\n/tmp/a b.conf\n"; }, 5s))
      << test::ReadFile(record);
  EXPECT_EQ(ChildLines::Take().front(),
            "CreateProcess in current dir[/tmp] : path[" + program.Path() + "] cmdLine[ -quiet /tmp/a b.conf]");
  program.Stop();
  std::filesystem::remove(record);
}

// A program ending on the exit request is not killed; one ignoring it (the ignored
// termination signal survives the exec into sleep) is killed after the wait.
TEST_F(ChildProgramTest, StopEndsTheProgramKillingItOnlyWhenItIgnoresTheRequest) {
  for (const bool ignores : {false, true}) {
    ChildProgram program(launcher_, Script(ignores ? "trap '' TERM\nexec sleep 30" : "exec sleep 30"), texts_,
                         timing_);
    ASSERT_EQ(program.Launch({}, "", ""), 0);
    const std::string id = std::to_string(program.Id());
    EXPECT_TRUE(program.Running());
    const auto execed = [&] { return test::ReadFile("/proc/" + id + "/comm") == "sleep\n"; };
    ASSERT_TRUE(!ignores || test::WaitUntil(execed, 5s));
    EXPECT_EQ(program.Stop(), 0);
    EXPECT_FALSE(program.Running());
    EXPECT_FALSE(program.Tracked());
    EXPECT_TRUE(test::WaitUntil([&] { return !test::FileExists("/proc/" + id); }, 5s));
    std::vector<std::string> lines = ChildLines::Take();
    ASSERT_EQ(lines.size(), ignores ? 5u : 4u);
    EXPECT_EQ(lines[1], "launched #1");
    std::vector<std::string> expected{"asked " + id, "killing " + id, "stopped"};
    if (!ignores) expected.erase(expected.begin() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), expected);
  }
}

}  // namespace
}  // namespace vortan
