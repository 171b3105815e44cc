#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/CrashLog.h"
#include "common/Logging.h"
#include "TestSupport.h"
#include "protocol/RequestLog.h"

namespace vortan {
namespace {

// Builds each dispatched message with the service's builder and with the library's,
// the library's between two of ours: when our two lines are equal, all three were
// built within the same tick of the date text, so the library's line must be equal too.
class CompareBuilders : public el::LogDispatchCallback {
 public:
  static inline std::string ours;
  static inline std::string library;

 protected:
  void handle(const el::LogDispatchData* data) override {
    el::base::DefaultLogBuilder libraryBuilder;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::string first = lineLogBuilder()->build(data->logMessage(), true);
      std::string theirs = libraryBuilder.build(data->logMessage(), true);
      std::string second = lineLogBuilder()->build(data->logMessage(), true);
      if (first == second) {
        ours = first;
        library = theirs;
        return;
      }
    }
    ours = "no two lines within one tick";
  }
};

struct FormatCase {
  const char* name;
  const char* format;
  const char* subsecondPrecision;
  el::Level level;
  const char* message;
  const char* threadName = "main";  // nullptr: a thread that never named itself
};

void PrintTo(const FormatCase& format, std::ostream* out) { *out << format.name; }

class LineBuilderTest : public ::testing::TestWithParam<FormatCase> {
 protected:
  void SetUp() override {
    registerLoggers();
    NameThread("main");
    id_ = test::UniqueName("lb");
    logger_ = el::Loggers::getLogger(id_, true);
    el::Helpers::installLogDispatchCallback<CompareBuilders>("compare-builders");
  }
  void TearDown() override {
    el::Helpers::uninstallLogDispatchCallback<CompareBuilders>("compare-builders");
    el::Loggers::unregisterLogger(id_);
  }
  void Configure(const FormatCase& format) {
    el::Configurations configuration;
    configuration.setToDefault();
    configuration.set(el::Level::Global, el::ConfigurationType::Format, format.format);
    configuration.set(el::Level::Global, el::ConfigurationType::SubsecondPrecision, format.subsecondPrecision);
    configuration.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    configuration.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    el::Loggers::reconfigureLogger(logger_, configuration);
  }
  void Log(el::Level level, const std::string& message) {
    CompareBuilders::ours.clear();
    CompareBuilders::library.clear();
    switch (level) {
      case el::Level::Info: logger_->info("%v", message); break;
      case el::Level::Error: logger_->error("%v", message); break;
      default: logger_->debug("%v", message); break;
    }
  }

  std::string id_;
  el::Logger* logger_ = nullptr;
};

const char* const kServiceFormat = "%datetime{%Y-%M-%d %H:%m:%s.%g}[%level][%thread] %logger - %msg";

// Precisions of 3 and 4 digits: a finer tick rarely holds three builds.
const FormatCase kFormats[] = {
    {"ServiceLayout", kServiceFormat, "3", el::Level::Debug, "telnet Request = version"},
    {"TenthsOfAMillisecond", kServiceFormat, "4", el::Level::Info, "new client connection"},
    {"LibraryDefaultDate", "%datetime %level %msg", "3", el::Level::Error, "x"},
    {"DateWithoutSubsecond", "%datetime{%H:%m:%s} [%thread] %msg", "3", el::Level::Debug, "y"},
    {"SubsecondInTheMiddle", "%datetime{%s.%g %Y} %msg", "3", el::Level::Debug, "z"},
    {"LongestDateTheLibraryKeeps", "%datetime{%Y-%M-%d %H:%m:%s %a x.%g} %msg", "3", el::Level::Debug, "w"},
    {"EscapedSpecifiers", "%%thread %thread %%datetime %datetime{%g} %msg %%msg", "3", el::Level::Debug, "v"},
    {"SpecifiersInTheMessage", kServiceFormat, "3", el::Level::Debug, "%thread %datetime %msg %%msg"},
    {"FieldsOnlyTheLibraryFills", "%func %line %loc [%thread] %msg", "3", el::Level::Info, "u"},
    {"NoFieldsAtAll", "constant", "3", el::Level::Debug, "t"},
    {"ControlBytesInTheFormat", "\x01[%thread]\x02 %msg\x03", "3", el::Level::Debug, "s"},
    {"ControlBytesInTheMessage", kServiceFormat, "3", el::Level::Debug, "\x01\x02\x03"},
    {"ThreadNameHoldingASpecifier", kServiceFormat, "3", el::Level::Debug, "m", "t%msg"},
    {"ThreadThatNeverNamedItself", kServiceFormat, "3", el::Level::Debug, "from an unnamed thread", nullptr},
};

TEST_P(LineBuilderTest, BuildsTheLibrarysLine) {
  const FormatCase& format = GetParam();
  Configure(format);
  if (format.threadName == nullptr) {
    std::thread unnamed([&] { Log(format.level, format.message); });
    unnamed.join();
  } else {
    NameThread(format.threadName);
    Log(format.level, format.message);
    NameThread("main");
  }
  ASSERT_FALSE(CompareBuilders::library.empty()) << CompareBuilders::ours;
  EXPECT_EQ(CompareBuilders::ours, CompareBuilders::library);
}

INSTANTIATE_TEST_SUITE_P(Formats, LineBuilderTest, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// The service's log file in a scratch directory (its logs/ made by the configuration),
// with standard output caught on request and everything restored at the end.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    NameThread("main");
    dir_ = "/tmp/" + test::UniqueName("log");
    std::filesystem::create_directories(dir_);
    logFile_ = dir_ + "/logs/vortanVpnService.log";
  }
  void TearDown() override {
    if (original_ != nullptr) std::cout.rdbuf(original_);
    el::Helpers::uninstallPreRollOutCallback();
    // Leave the process logging nowhere near the deleted directory.
    silenceLogging();
    std::filesystem::remove_all(dir_);
  }
  void Apply(const std::string& configuration, const std::string& logFile) {
    test::WriteFile(dir_ + "/servicelog.conf", configuration);
    applyLogConfiguration(logFile, dir_ + "/servicelog.conf");
    el::Helpers::installPreRollOutCallback(rollLogFiles);
  }
  // Lines of exactly the message and a line feed.
  void Configure(const std::string& settings) {
    Apply("* GLOBAL:\n  FORMAT = \"%msg\"\n" + settings, logFile_);
  }
  // Lines of 100 bytes.
  void LogLines(int count) {
    for (int i = 0; i < count; ++i) CLOG(INFO, loggers::kService) << std::string(99, static_cast<char>('a' + i % 26));
  }
  std::size_t SizeOf(const std::string& path) const { return test::ReadFile(path).size(); }
  std::string Numbered(int n) const { return logFile_ + "." + std::to_string(n); }
  // Standard output from now on goes to captured_ (until the end of the test at the latest).
  void CaptureOutput() { original_ = std::cout.rdbuf(captured_.rdbuf()); }
  std::string Released() {
    std::cout.rdbuf(original_);
    original_ = nullptr;
    return captured_.str();
  }

  std::string dir_, logFile_;
  std::ostringstream captured_;
  std::streambuf* original_ = nullptr;
};

// The line writer against the library's own behaviour: where lines go, when they are
// flushed, and at which line the file rolls.
using LineWriterTest = LogFileTest;
using LoggingTest = LogFileTest;

// Lines of 100 bytes logged in steps, after each of which the file, its .1 and its .2 have
// their sizes (0: missing); nothing goes to standard output.
TEST_F(LineWriterTest, FilesHoldTheirBytesAfterEachStep) {
  const std::string quiet = "  TO_STANDARD_OUTPUT = false\n";
  const struct {
    const char* name;
    std::size_t existing;  // bytes the file held before
    std::string settings;
    std::vector<std::pair<int, std::vector<std::size_t>>> steps;  // lines, then sizes
    bool flushLast = false;
  } rows[] = {
      {"rolls after the line that reaches the limit", 0, quiet + "  MAX_LOG_FILE_SIZE = 1000\n",
       {{25, {500, 1000, 1000}}}},
      {"counts from the size the file already had", 951, quiet + "  MAX_LOG_FILE_SIZE = 1000\n",
       {{3, {200, 1051, 0}}}},
      {"an oversized file is rolled, not cut, at start-up", 3000, quiet + "  MAX_LOG_FILE_SIZE = 2000\n",
       {{0, {0, 3000, 0}}}},
      {"flushes at the threshold", 0, quiet + "  LOG_FLUSH_THRESHOLD = 3\n",
       {{2, {0, 0, 0}}, {1, {300, 0, 0}}, {1, {400, 0, 0}}}, true},
      {"nothing written where the configuration says no", 0, "  TO_FILE = false\n" + quiet, {{1, {0, 0, 0}}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    logFile_ = dir_ + "/logs/" + std::to_string(&row - rows) + ".log";
    if (row.existing > 0) {
      std::filesystem::create_directories(dir_ + "/logs");
      test::WriteFile(logFile_, std::string(row.existing - 1, '-') + "\n");
    }
    CaptureOutput();
    Configure(row.settings);
    for (const auto& step : row.steps) {
      LogLines(step.first);
      if (row.flushLast && &step == &row.steps.back()) FlushLogs();
      const std::vector<std::size_t> sizes{SizeOf(logFile_), SizeOf(Numbered(1)), SizeOf(Numbered(2))};
      EXPECT_EQ(sizes, step.second);
    }
    EXPECT_EQ(Released(), "");
  }
}

// Each line is in the file and on standard output when the log call returns.
TEST_F(LineWriterTest, StandardOutputGetsTheSameLinesAsTheFile) {
  CaptureOutput();
  Configure("");
  CLOG(INFO, loggers::kService) << "one";
  const std::string afterOne[] = {captured_.str(), test::ReadFile(logFile_)};
  CLOG(DEBUG, loggers::kRoute) << "two";
  EXPECT_EQ(Released(), "one\ntwo\n");
  for (const std::string& text : afterOne) EXPECT_EQ(text, "one\n");
  EXPECT_EQ(test::ReadFile(logFile_), "one\ntwo\n");
}

TEST_F(LoggingTest, LinesHaveTheServiceLayout) {
  Apply("* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n", logFile_);
  CLOG(INFO, loggers::kService) << "starting...";
  el::Loggers::getLogger(loggers::kService)->debug("message %v sent", "CONTROL");
  const std::string text = test::ReadFile(logFile_);
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}"
                                                "\\[INFO\\]\\[main\\] service - starting\\.\\.\\.\n"
                                                "[0-9: .-]{23}\\[DEBUG\\]\\[main\\] service - message CONTROL sent\n")))
      << text;
}

TEST_F(LoggingTest, RollingKeepsFiveOlderFilesNewestFirst) {
  Apply("* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 2000\n", logFile_);
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
  std::filesystem::create_directories(dir_ + "/logs");
  test::WriteFile(logFile_, "current");
  test::WriteFile(Numbered(2), "two");
  rollLogFiles(logFile_.c_str(), 7);
  EXPECT_EQ(test::ReadFile(Numbered(1)), "current");
  EXPECT_EQ(test::ReadFile(Numbered(3)), "two");
  EXPECT_FALSE(test::FileExists(Numbered(2)));
  EXPECT_FALSE(test::FileExists(logFile_));
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
    const std::string logFile = dir_ + "/logs/" + (format != nullptr ? "custom" : "built-in") + ".log";
    Apply(conf, logFile);
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
  Apply("* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n", logFile_);
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

// What the log keeps of a request line.
struct LogCopyCase {
  const char* name;
  std::string request;
  std::string logged;
};

const std::string kMask = "********";

const LogCopyCase kLogCopyCases[] = {
    {"other requests unchanged", "version", "version"},
    {"start without proxy words unchanged", "start gw1 1194 /d/x_ tap0 udp adaptive",
     "start gw1 1194 /d/x_ tap0 udp adaptive"},
    {"eleven words: user, password and method hidden", "start gw1 443 /d/x_ tap0 tcp a p1 8080 alice s3cret basic",
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask + " " + kMask + " " + kMask},
    {"ten words", "start gw1 443 /d/x_ tap0 tcp a p1 8080 alice s3cret",
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask + " " + kMask},
    {"twelve words", "start gw1 443 /d/x_ tap0 tcp a p1 8080 alice s3cret basic more",
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask + " " + kMask + " " + kMask + " " + kMask},
    {"nine words", "start gw1 443 /d/x_ tap0 tcp a p1 8080 alice",
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask},
    {"quoted proxy server shifts the credentials no later than masked",
     "start gw1 443 /d/x_ tap0 tcp a \"My Proxy\" 8080 alice s3cret basic",
     "start gw1 443 /d/x_ tap0 tcp a \"My Proxy\" " + kMask + " " + kMask + " " + kMask + " " + kMask},
    {"blanks and tabs between words", "start gw1\t443  /d/x_ tap0 tcp a p1 8080 alice s3cret basic",
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask + " " + kMask + " " + kMask},
    {"proxy word hides the rest", "version proxy secret2", "version proxy OBFUCATED PARAMS"},
    {"long line: first 512 bytes and the length", "version " + std::string(65000, 'v'),
     "version " + std::string(504, 'v') + "... (65008 bytes)"},
    {"512 bytes kept whole", std::string(512, 'x'), std::string(512, 'x')},
    {"control bytes escaped", "version\x1b[2J\rINFO\x7f\x01", "version\\x1b[2J\\x0dINFO\\x7f\\x01"},
    {"C1 control escaped, other characters kept", "quit \xc2\x9b" "31m \xc3\xa9", "quit \\u009b31m \xc3\xa9"},
    {"cut before a character that would not fit whole", std::string(511, 'x') + "\xc3\xa9tail",
     std::string(511, 'x') + "... (517 bytes)"},
    {"cut before an escape that would not fit whole", std::string(510, 'x') + "\x1b" + std::string(10, 'y'),
     std::string(510, 'x') + "... (521 bytes)"},
    {"long start line masked before it is cut", "start gw1 443 /d/x_ tap0 tcp a p1 8080 alice " + std::string(600, 's'),
     "start gw1 443 /d/x_ tap0 tcp a p1 8080 " + kMask + " " + kMask},
};

TEST(LogCopy, HidesEveryStartWordFromTheUserNameOnAndCutsLongLines) {
  for (const auto& testCase : kLogCopyCases) {
    EXPECT_EQ(LogCopy(testCase.request), testCase.logged) << testCase.name;
  }
}

// Threads log at once through the same loggers: every line arrives whole, none is lost
// and each thread's lines keep their order, in the file and on standard output.
TEST_F(LineWriterTest, ConcurrentThreadsKeepEveryLineWholeAndInOrder) {
  CaptureOutput();
  Configure("");
  constexpr int kThreads = 8, kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      NameThread("writer-" + std::to_string(t));
      for (int n = 0; n < kLines; ++n) {
        if (n % 2 == 0) {
          CLOG(DEBUG, loggers::kService) << "t" << t << " n" << n;
        } else {
          el::Loggers::getLogger(loggers::kRoute)->info("t%v n%v", t, n);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& text : {test::ReadFile(logFile_), Released()}) {
    std::istringstream lines(text);
    std::vector<int> next(kThreads, 0);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      int t = -1, n = -1;
      char rest = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "t%d n%d%c", &t, &n, &rest), 2) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_EQ(n, next[t]) << line;
      next[t] = n + 1;
    }
    EXPECT_EQ(count, kThreads * kLines);
  }
}

// "device:inode" of this process's standard output, as the service manager names its
// journal stream in JOURNAL_STREAM; with an offset added to the inode.
std::string StandardOutputStreamId(unsigned inodeOffset = 0) {
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0) return "unknown";
  return std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino + inodeOffset);
}

struct JournalCase {
  const char* name;
  std::string journalStream;  // empty: JOURNAL_STREAM unset
  bool prefixed;
};

void PrintTo(const JournalCase& journal, std::ostream* out) { *out << journal.name; }

class JournalPrefixTest : public LineWriterTest, public ::testing::WithParamInterface<JournalCase> {
 protected:
  void SetUp() override {
    LineWriterTest::SetUp();
    const char* inherited = std::getenv("JOURNAL_STREAM");
    if (inherited != nullptr) saved_.reset(new std::string(inherited));
  }
  void TearDown() override {
    if (saved_) {
      setenv("JOURNAL_STREAM", saved_->c_str(), 1);
    } else {
      unsetenv("JOURNAL_STREAM");
    }
    LineWriterTest::TearDown();
  }
  std::unique_ptr<std::string> saved_;
};

TEST_P(JournalPrefixTest, StandardOutputCarriesSyslogPrioritiesOnlyForTheJournal) {
  if (GetParam().journalStream.empty()) {
    unsetenv("JOURNAL_STREAM");
  } else {
    setenv("JOURNAL_STREAM", GetParam().journalStream.c_str(), 1);
  }
  CaptureOutput();
  Configure("");
  CLOG(TRACE, loggers::kService) << "trace";
  CLOG(DEBUG, loggers::kService) << "debug";
  CLOG(INFO, loggers::kRoute) << "info";
  CLOG(WARNING, loggers::kService) << "warning";
  CLOG(ERROR, loggers::kNetwork) << "error";
  const std::string plain = "trace\ndebug\ninfo\nwarning\nerror\n";
  EXPECT_EQ(Released(), GetParam().prefixed ? "<7>trace\n<7>debug\n<6>info\n<4>warning\n<3>error\n" : plain);
  EXPECT_EQ(test::ReadFile(logFile_), plain);
}

INSTANTIATE_TEST_SUITE_P(
    JournalStreams, JournalPrefixTest,
    ::testing::Values(JournalCase{"NamesStandardOutput", StandardOutputStreamId(), true},
                      JournalCase{"Unset", "", false},
                      JournalCase{"NamesAnotherStream", StandardOutputStreamId(1), false},
                      JournalCase{"TrailingText", StandardOutputStreamId() + "x", false},
                      JournalCase{"NoInode", StandardOutputStreamId().substr(0, StandardOutputStreamId().find(':')) + ":", false},
                      JournalCase{"NotNumbers", "journal:stream", false}),
    [](const ::testing::TestParamInfo<JournalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vortan
