#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
  static std::string ours;
  static std::string library;

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
std::string CompareBuilders::ours;
std::string CompareBuilders::library;

struct FormatCase {
  const char* name;
  const char* format;
  const char* subsecondPrecision;
  el::Level level;
  const char* message;
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
};

TEST_P(LineBuilderTest, BuildsTheLibrarysLine) {
  Configure(GetParam());
  Log(GetParam().level, GetParam().message);
  ASSERT_FALSE(CompareBuilders::library.empty()) << CompareBuilders::ours;
  EXPECT_EQ(CompareBuilders::ours, CompareBuilders::library);
}

INSTANTIATE_TEST_SUITE_P(Formats, LineBuilderTest, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST_F(LineBuilderTest, AThreadNameHoldingASpecifierComesOutAsTheLibraryPrintsIt) {
  Configure({"", kServiceFormat, "3", el::Level::Debug, ""});
  NameThread("t%msg");
  Log(el::Level::Debug, "m");
  NameThread("main");
  EXPECT_EQ(CompareBuilders::ours, CompareBuilders::library);
}

TEST_F(LineBuilderTest, ThreadsThatNeverNamedThemselvesGetTheLibrarysName) {
  Configure({"", kServiceFormat, "3", el::Level::Debug, ""});
  std::thread unnamed([this] { Log(el::Level::Debug, "from an unnamed thread"); });
  unnamed.join();
  EXPECT_EQ(CompareBuilders::ours, CompareBuilders::library);
}

// The line writer against the library's own behaviour: where lines go, when they are
// flushed, and at which line the file rolls.
class LineWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    NameThread("main");
    dir_ = "/tmp/" + test::UniqueName("lw");
    std::filesystem::create_directories(dir_ + "/logs");
    logFile_ = dir_ + "/logs/vortanVpnService.log";
  }
  void TearDown() override {
    el::Helpers::uninstallPreRollOutCallback();
    silenceLogging();
    std::filesystem::remove_all(dir_);
  }
  // Lines of exactly the message and a line feed.
  void Configure(const std::string& settings) {
    test::WriteFile(dir_ + "/servicelog.conf", "* GLOBAL:\n  FORMAT = \"%msg\"\n" + settings);
    applyLogConfiguration(logFile_, dir_ + "/servicelog.conf");
    el::Helpers::installPreRollOutCallback(rollLogFiles);
  }
  // Lines of 100 bytes.
  void LogLines(int count) {
    for (int i = 0; i < count; ++i) CLOG(INFO, loggers::kService) << std::string(99, static_cast<char>('a' + i % 26));
  }
  std::size_t SizeOf(const std::string& path) const { return test::ReadFile(path).size(); }

  std::string dir_, logFile_;
};

TEST_F(LineWriterTest, RollsAfterTheLineThatReachesTheLimit) {
  Configure("  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 1000\n");
  LogLines(25);
  EXPECT_EQ(SizeOf(logFile_ + ".2"), 1000u);
  EXPECT_EQ(SizeOf(logFile_ + ".1"), 1000u);
  EXPECT_EQ(SizeOf(logFile_), 500u);
}

TEST_F(LineWriterTest, CountsFromTheSizeTheFileAlreadyHad) {
  test::WriteFile(logFile_, std::string(950, '-') + "\n");
  Configure("  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 1000\n");
  LogLines(3);
  EXPECT_EQ(SizeOf(logFile_ + ".1"), 1051u);
  EXPECT_EQ(SizeOf(logFile_), 200u);
}

TEST_F(LineWriterTest, FlushesAtTheThreshold) {
  Configure("  TO_STANDARD_OUTPUT = false\n  LOG_FLUSH_THRESHOLD = 3\n");
  LogLines(2);
  EXPECT_EQ(SizeOf(logFile_), 0u);
  LogLines(1);
  EXPECT_EQ(SizeOf(logFile_), 300u);
  LogLines(1);
  FlushLogs();
  EXPECT_EQ(SizeOf(logFile_), 400u);
}

// Each line is in the file and on standard output when the log call returns.
TEST_F(LineWriterTest, StandardOutputGetsTheSameLinesAsTheFile) {
  std::ostringstream captured;
  std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
  Configure("");
  CLOG(INFO, loggers::kService) << "one";
  const std::string afterOne[] = {captured.str(), test::ReadFile(logFile_)};
  CLOG(DEBUG, loggers::kRoute) << "two";
  std::cout.rdbuf(original);
  for (const std::string& text : afterOne) EXPECT_EQ(text, "one\n");
  EXPECT_EQ(captured.str(), "one\ntwo\n");
  EXPECT_EQ(test::ReadFile(logFile_), "one\ntwo\n");
}

TEST_F(LineWriterTest, NothingIsWrittenWhereTheConfigurationSaysNo) {
  std::ostringstream captured;
  std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
  Configure("  TO_FILE = false\n  TO_STANDARD_OUTPUT = false\n");
  CLOG(INFO, loggers::kService) << "nowhere";
  std::cout.rdbuf(original);
  EXPECT_EQ(captured.str(), "");
  EXPECT_EQ(SizeOf(logFile_), 0u);
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
  std::ostringstream captured;
  std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
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
  std::cout.rdbuf(original);
  for (const std::string& text : {test::ReadFile(logFile_), captured.str()}) {
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
  std::ostringstream captured;
  std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
  Configure("");
  CLOG(TRACE, loggers::kService) << "trace";
  CLOG(DEBUG, loggers::kService) << "debug";
  CLOG(INFO, loggers::kRoute) << "info";
  CLOG(WARNING, loggers::kService) << "warning";
  CLOG(ERROR, loggers::kNetwork) << "error";
  std::cout.rdbuf(original);
  const std::string plain = "trace\ndebug\ninfo\nwarning\nerror\n";
  EXPECT_EQ(captured.str(), GetParam().prefixed ? "<7>trace\n<7>debug\n<6>info\n<4>warning\n<3>error\n" : plain);
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
