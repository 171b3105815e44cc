#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <thread>
#include <regex>

#include "common/CrashLog.h"
#include "common/Logging.h"
#include "TestSupport.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    dir_ = "/tmp/" + test::UniqueName("log");
    fs::create_directories(dir_ + "/conf");
    logFile_ = dir_ + "/logs/vortanVpnService.log";
    configFile_ = dir_ + "/conf/servicelog.conf";
  }
  void TearDown() override {
    el::Helpers::uninstallPreRollOutCallback();
    // Leave the process logging nowhere near the deleted directory.
    silenceLogging();
    fs::remove_all(dir_);
  }
  std::string Numbered(int n) const { return logFile_ + "." + std::to_string(n); }

  std::string dir_, logFile_, configFile_;
};

TEST_F(LoggingTest, LinesHaveTheServiceLayout) {
  test::WriteFile(configFile_, "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n");
  applyLogConfiguration(logFile_, configFile_);
  NameThread("main");
  CLOG(INFO, loggers::kService) << "starting...";
  el::Loggers::getLogger(loggers::kService)->debug("message %v sent", "CONTROL");
  const std::string text = test::ReadFile(logFile_);
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}"
                                                "\\[INFO\\]\\[main\\] service - starting\\.\\.\\.\n"
                                                "[0-9: .-]{23}\\[DEBUG\\]\\[main\\] service - message CONTROL sent\n")))
      << text;
}

TEST_F(LoggingTest, RollingKeepsFiveOlderFilesNewestFirst) {
  test::WriteFile(configFile_, "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 2000\n");
  applyLogConfiguration(logFile_, configFile_);
  el::Helpers::installPreRollOutCallback(rollLogFiles);
  // Each file holds about 20 numbered lines of 100 bytes; write enough for 8 rolls.
  for (int line = 0; line < 170; ++line) {
    CLOG(INFO, loggers::kDefault) << "line " << 1000 + line << std::string(60, '.');
  }
  EXPECT_FALSE(test::FileExists(Numbered(6)));
  int previousFirst = 1 << 30;
  for (int n = 1; n <= 5; ++n) {
    const std::string content = test::ReadFile(Numbered(n));
    ASSERT_FALSE(content.empty()) << n;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(content, match, std::regex("line (\\d+)")));
    const int first = std::stoi(match[1].str());
    EXPECT_LT(first, previousFirst) << "file ." << n << " should be older than ." << n - 1;
    previousFirst = first;
  }
}

TEST_F(LoggingTest, RollingWithAGapMovesOnlyWhatExists) {
  fs::create_directories(dir_ + "/logs");
  test::WriteFile(logFile_, "current");
  test::WriteFile(Numbered(2), "two");
  rollLogFiles(logFile_.c_str(), 7);
  EXPECT_EQ(test::ReadFile(Numbered(1)), "current");
  EXPECT_EQ(test::ReadFile(Numbered(3)), "two");
  EXPECT_FALSE(test::FileExists(Numbered(2)));
  EXPECT_FALSE(test::FileExists(logFile_));
}

TEST_F(LoggingTest, AnOversizedLogIsRolledNotTruncatedAtStartUp) {
  fs::create_directories(dir_ + "/logs");
  test::WriteFile(logFile_, std::string(3000, 'x'));
  test::WriteFile(configFile_, "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 2000\n");
  applyLogConfiguration(logFile_, configFile_);
  EXPECT_EQ(test::ReadFile(Numbered(1)).size(), 3000u);
}

// The fault handler's lines bypass the library: they must still read like its lines,
// for the built-in layout and for one a configuration file sets.
TEST_F(LoggingTest, FaultHandlerLinesHaveTheLogLayout) {
  const char* const formats[] = {
      nullptr,
      // The library formats dates into 30 bytes: a longer date text overruns its buffer.
      "%datetime{%b %y %h%F|%H:%m:%s,%g %%}<%level> %%thread %thread %logger: %msg ~",
  };
  for (const char* format : formats) {
    std::string conf = "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n";
    if (format != nullptr) conf += std::string("  FORMAT = \"") + format + "\"\n";
    test::WriteFile(configFile_, conf);
    const std::string logFile = dir_ + "/logs/" + (format != nullptr ? "custom" : "built-in") + ".log";
    applyLogConfiguration(logFile, configFile_);
    NameThread("crashing-thread");
    PrepareCrashLog();
    CLOG(ERROR, loggers::kDefault) << "the same message";
    CrashLog::Error(FixedText() << "the same " << "message");
    const std::string text = test::ReadFile(logFile);
    const std::string::size_type end = text.find('\n');
    ASSERT_NE(end, std::string::npos) << text;
    // Digits of the time may differ between the two lines; nothing else may.
    const std::regex digits("[0-9]");
    EXPECT_EQ(std::regex_replace(text.substr(0, end + 1), digits, "#"), std::regex_replace(text.substr(end + 1), digits, "#"))
        << text;
  }
}

// Terminate may come while another thread holds the logger's lock: the line is still
// written and the process aborts, instead of waiting for ever.
TEST_F(LoggingTest, TerminateHandlerLogsAndAbortsWhileAnotherThreadHoldsTheLogLock) {
  test::WriteFile(configFile_, "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n");
  applyLogConfiguration(logFile_, configFile_);
  NameThread("main");
  PrepareCrashLog();
  std::promise<void> locked, release;
  std::thread holder([&] {
    el::Logger* logger = el::Loggers::getLogger(loggers::kDefault);
    logger->acquireLock();
    locked.set_value();
    release.get_future().wait();
    logger->releaseLock();
  });
  locked.get_future().wait();
  // A handler that waits for the lock is ended by the alarm, not by its abort.
  EXPECT_EXIT(
      {
        alarm(5);
        terminateHandler();
      },
      ::testing::KilledBySignal(SIGABRT), "");
  release.set_value();
  holder.join();
  EXPECT_NE(test::ReadFile(logFile_).find("[ERROR][main] default - Terminate handler called, abnormal termination\n"),
            std::string::npos);
}

TEST(ExceptionCodeName, NamesKnownCodesAndUnknownOnes) {
  EXPECT_STREQ(exceptionCodeName(0xC0000005), "EXCEPTION_ACCESS_VIOLATION");
  EXPECT_STREQ(exceptionCodeName(0xC00000FD), "EXCEPTION_STACK_OVERFLOW");
  EXPECT_STREQ(exceptionCodeName(0x80000003), "EXCEPTION_BREAKPOINT");
  EXPECT_STREQ(exceptionCodeName(6), "UNKNOWN EXCEPTION");
}

}  // namespace
}  // namespace vortan
