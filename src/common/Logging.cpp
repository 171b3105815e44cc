#include "common/Logging.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "common/CrashLog.h"
#include "common/Paths.h"
#include "platform/Crash.h"
#include "platform/Journal.h"
#include "platform/NarrowPaths.h"
#include "platform/ProcessInfo.h"

namespace vortan {

namespace {

const char* const kLineWriterId = "LineWriter";
const char* const kLibraryDispatcherId = "DefaultLogDispatchCallback";

// The name this thread gave itself through NameThread; empty until then.
thread_local std::string threadLogName;

// The date text of the current second, kept per thread for one date format.
struct SecondText {
  std::string dateFormat;
  bool splitsAtSubsecond = false;
  std::string prefixFormat;  // the date format without its final subsecond field
  time_t second = -1;
  std::string prefixText;    // prefixFormat formatted for that second
};
thread_local SecondText secondText;

// The library formats dates into a buffer of 30 bytes: longer texts come out cut.
constexpr std::size_t kLongestDateText = 29;

// True when the date format ends with its only subsecond field ("%g" or "%z"), so the
// rest of the text changes once a second.
bool SplitsAtSubsecond(const std::string& format, std::string* prefix) {
  if (format.size() < 2 || format[format.size() - 2] != '%') return false;
  const char last = format.back();
  if (last != 'g' && last != 'z') return false;
  *prefix = format.substr(0, format.size() - 2);
  return (prefix->empty() || prefix->back() != '%') && prefix->find("%g") == std::string::npos &&
         prefix->find("%z") == std::string::npos;
}

// The library's date text for format, formatting the part before the subsecond field
// only when the second changes (the library parses the whole format on every line).
std::string DateText(const std::string& format, const el::base::SubsecondPrecision& precision) {
  timeval now{};
  el::base::utils::DateTime::gettimeofday(&now);
  SecondText& cache = secondText;
  if (cache.dateFormat != format) {
    cache.dateFormat = format;
    cache.splitsAtSubsecond = SplitsAtSubsecond(format, &cache.prefixFormat);
    cache.second = -1;
  }
  if (cache.splitsAtSubsecond && cache.second != now.tv_sec) {
    cache.prefixText = el::base::utils::DateTime::timevalToString(now, cache.prefixFormat.c_str(), &precision);
    cache.second = now.tv_sec;
  }
  const std::size_t width = static_cast<std::size_t>(precision.m_width);
  if (!cache.splitsAtSubsecond || cache.prefixText.size() + width > kLongestDateText) {
    return el::base::utils::DateTime::timevalToString(now, format.c_str(), &precision);
  }
  char digits[16];
  el::base::utils::Str::convertAndAddToBuff(static_cast<std::size_t>(now.tv_usec) / precision.m_offset,
                                            precision.m_width, digits, digits + sizeof digits);
  return cache.prefixText + digits;
}

// Fields the library fills in while building each line. Level, logger, user and host
// are resolved when the format is configured.
bool UsesOnlyThreadDateAndMessage(const el::base::LogFormat& format, el::Level level) {
  using Flag = el::base::FormatFlags;
  for (Flag flag : {Flag::AppName, Flag::Function, Flag::File, Flag::FileBase, Flag::Line, Flag::Location}) {
    if (format.hasFlag(flag)) return false;
  }
  if (level == el::Level::Verbose && format.hasFlag(Flag::VerboseLevel)) return false;
  // The program installs no custom format specifier.
  return true;
}

// The format with its thread, date and message fields found once per thread, by the
// library's own replacements (so its escapes come out alike), each field left as a mark
// byte. Filling the marks gives the library's line unless a substituted text holds a
// '%' (the library's later replacements would look into it): such lines, and formats
// that hold a mark byte themselves, take the full chain of replacements.
constexpr char kThreadMark = '\x01', kDateMark = '\x02', kMessageMark = '\x03';

struct FormatTemplate {
  std::string format;  // the library's format text it was made from
  std::string marked;
  bool usable = false;
};
thread_local FormatTemplate formatTemplate;

const FormatTemplate& TemplateFor(const el::base::LogFormat& format) {
  FormatTemplate& cached = formatTemplate;
  if (cached.usable && cached.format == format.format()) return cached;
  using el::base::FormatFlags;
  using el::base::utils::Str;
  cached.format = format.format();
  cached.marked = cached.format;
  cached.usable = cached.format.find_first_of(std::string{kThreadMark, kDateMark, kMessageMark}) == std::string::npos;
  if (format.hasFlag(FormatFlags::ThreadId)) Str::replaceFirstWithEscape(cached.marked, "%thread", {kThreadMark});
  if (format.hasFlag(FormatFlags::DateTime)) Str::replaceFirstWithEscape(cached.marked, "%datetime", {kDateMark});
  if (format.hasFlag(FormatFlags::LogMessage)) Str::replaceFirstWithEscape(cached.marked, "%msg", {kMessageMark});
  return cached;
}

std::string FilledTemplate(const std::string& marked, const std::string& thread, const std::string& date,
                           const std::string& message) {
  std::string line;
  line.reserve(marked.size() + thread.size() + date.size() + message.size() + 1);
  for (char c : marked) {
    switch (c) {
      case kThreadMark: line += thread; break;
      case kDateMark: line += date; break;
      case kMessageMark: line += message; break;
      default: line += c;
    }
  }
  return line;
}

// Builds the same lines as the library's builder. The library spends most of a log
// call here: it prints the thread id through a new string stream on every line to
// find the thread's name, and parses the date format anew; this builder keeps the
// name per thread and the date text per second. Formats with other fields, and
// threads that never named themselves, go to the library's builder.
class LineBuilder : public el::base::DefaultLogBuilder {
 public:
  std::string build(const el::LogMessage* message, bool appendNewLine) const override {
    el::base::TypedConfigurations* configurations = message->logger()->typedConfigurations();
    const el::base::LogFormat& format = configurations->logFormat(message->level());
    if (threadLogName.empty() || !UsesOnlyThreadDateAndMessage(format, message->level())) {
      return el::base::DefaultLogBuilder::build(message, appendNewLine);
    }
    using el::base::FormatFlags;
    std::string date;
    if (format.hasFlag(FormatFlags::DateTime)) {
      date = DateText(format.dateTimeFormat(), configurations->subsecondPrecision(message->level()));
    }
    const FormatTemplate& marked = TemplateFor(format);
    std::string line;
    if (marked.usable && threadLogName.find('%') == std::string::npos && date.find('%') == std::string::npos) {
      line = FilledTemplate(marked.marked, threadLogName, date, message->message());
    } else {
      line = ReplacedInOrder(format, date, message->message());
    }
    if (appendNewLine) line += "\n";
    return line;
  }

 private:
  // The same replacements in the same order as the library, so escapes ("%%thread")
  // and specifiers inside substituted text come out alike.
  static std::string ReplacedInOrder(const el::base::LogFormat& format, const std::string& date,
                                     const std::string& text) {
    static const std::string kThread = "%thread", kDateTime = "%datetime", kMessage = "%msg";
    using el::base::FormatFlags;
    using el::base::utils::Str;
    std::string line = format.format();
    if (format.hasFlag(FormatFlags::ThreadId)) Str::replaceFirstWithEscape(line, kThread, threadLogName);
    if (format.hasFlag(FormatFlags::DateTime)) Str::replaceFirstWithEscape(line, kDateTime, date);
    if (format.hasFlag(FormatFlags::LogMessage)) Str::replaceFirstWithEscape(line, kMessage, text);
    return line;
  }
};

// Set when the configuration is applied: standard output is the journal's stream, so
// each line there starts with its syslog priority (the file keeps the plain layout).
std::atomic<bool> journalPriorities{false};

const char* JournalPriorityPrefix(el::Level level) {
  switch (level) {
    case el::Level::Fatal: return "<2>";
    case el::Level::Error: return "<3>";
    case el::Level::Warning: return "<4>";
    case el::Level::Info: return "<6>";
    default: return "<7>";  // DEBUG, TRACE, VERBOSE
  }
}

el::LogBuilderPtr& TheLineBuilder() {
  static el::LogBuilderPtr builder = std::make_shared<LineBuilder>();
  return builder;
}

// Where the library's own dispatcher writes each line (the log file, flushed per the
// flush threshold and checked for rolling after each flush, then standard output), this
// writer writes it too. The library finds the file's size for the rolling check by
// asking the kernel for the file position after every flush, a system call per log
// line; this writer counts the bytes it wrote and asks only when the count reaches the
// rolling size (the count can only be too high: a roll it did not see makes it ask).
class LineWriter : public el::LogDispatchCallback {
 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->dispatchAction() != el::base::DispatchAction::NormalLog) return;
    const el::LogMessage* message = data->logMessage();
    el::Logger* logger = message->logger();
    const el::Level level = message->level();
    // The library calls every dispatcher under its own locks, so the lines of two
    // threads never mix, in the file or on standard output.
    std::string line = logger->logBuilder()->build(message, true);
    el::base::TypedConfigurations* configurations = logger->typedConfigurations();
    const bool toFile = configurations->toFile(level);
    const bool toStandardOutput = configurations->toStandardOutput(level);
    if (toFile) WriteToFile(logger, level, line);
    if (toStandardOutput) {
      if (el::Loggers::hasFlag(el::LoggingFlag::ColoredTerminalOutput)) {
        logger->logBuilder()->convertToColoredOutput(&line, level);
      }
      if (journalPriorities) line.insert(0, JournalPriorityPrefix(level));
      // The synchronised standard stream writes each insertion whole, under the C
      // library's lock of standard output, so lines of two threads never mix.
      std::cout << line << std::flush;
    }
  }

 private:
  struct FileSize {
    bool known = false;      // learnt at the stream's first flush
    std::uint64_t bytes = 0;
  };

  void WriteToFile(el::Logger* logger, el::Level level, const std::string& line) {
    el::base::TypedConfigurations* configurations = logger->typedConfigurations();
    el::base::type::fstream_t* stream = configurations->fileStream(level);
    if (stream == nullptr) return;
    stream->write(line.data(), static_cast<std::streamsize>(line.size()));
    if (stream->fail()) return;
    FileSize& size = sizes_[stream];
    size.bytes += line.size();
    unsigned& unflushed = unflushed_[{logger, level}];
    if (!el::Loggers::hasFlag(el::LoggingFlag::ImmediateFlush) && ++unflushed < configurations->logFlushThreshold(level)) {
      return;
    }
    unflushed = 0;
    stream->flush();
    if (!size.known) size = {true, Position(stream)};
    const std::size_t limit = configurations->maxLogFileSize(level);
    if (limit == 0 || size.bytes < limit) return;
    el::Helpers::validateFileRolling(logger, level);
    size.bytes = Position(stream);
  }

  static std::uint64_t Position(el::base::type::fstream_t* stream) {
    const std::streamoff position = stream->tellp();
    return position > 0 ? static_cast<std::uint64_t>(position) : 0;
  }

  // By the library's stream: it keeps one stream per file name for the whole process.
  std::unordered_map<const void*, FileSize> sizes_;
  std::map<std::pair<el::Logger*, el::Level>, unsigned> unflushed_;
};

// Puts the line writer in the place of the library's dispatcher, once.
void InstallLineWriter() {
  if (el::Helpers::logDispatchCallback<LineWriter>(kLineWriterId) != nullptr) return;
  el::Helpers::installLogDispatchCallback<LineWriter>(kLineWriterId);
  el::Helpers::uninstallLogDispatchCallback<el::base::DefaultLogDispatchCallback>(kLibraryDispatcherId);
}

// Gives every logger, present and future, the line builder.
void InstallLineBuilder() {
  el::LogBuilderPtr& builder = TheLineBuilder();
  el::Loggers::setDefaultLogBuilder(builder);
  std::vector<std::string> ids;
  el::Loggers::populateAllLoggerIds(&ids);
  for (const std::string& id : ids) {
    el::Logger* logger = el::Loggers::getLogger(id, false);
    if (logger != nullptr && logger->logBuilder() != builder.get()) logger->setLogBuilder(builder);
  }
}

}  // namespace

el::LogBuilderPtr lineLogBuilder() { return TheLineBuilder(); }

void registerLoggers() {
  for (const char* name : {loggers::kDefault, loggers::kVpnConfig, loggers::kOpenVpnManager,
                           loggers::kService, loggers::kNetwork, loggers::kStunnel, loggers::kRoute,
                           loggers::kBroadcast}) {
    el::Loggers::getLogger(name, true);
  }
  // Lines logged before the configuration (in the library's own layout) reach the
  // journal too, with their level's priority.
  journalPriorities = platform::StandardOutputIsJournal();
  InstallLineBuilder();
  InstallLineWriter();
}

const std::string& builtInLogConfiguration() {
  static const std::string text =
      "* GLOBAL:\n"
      "   FORMAT               =  \"%datetime{%Y-%M-%d %H:%m:%s.%g}[%level][%thread] %logger - %msg\"\n"
      "   ENABLED              =  true\n"
      "   TO_FILE              =  true\n"
      "   TO_STANDARD_OUTPUT   =  true\n"
      "   SUBSECOND_PRECISION  =  3\n"
      "   MAX_LOG_FILE_SIZE    =  10000000\n"
      "   LOG_FLUSH_THRESHOLD  =  1 ## Flush after every logs\n"
      "* DEBUG:\n"
      "   ENABLED              =  true\n"
      "* TRACE:\n"
      "   ENABLED              =  true\n";
  return text;
}

namespace {

constexpr el::Level kAllLevels[] = {el::Level::Global, el::Level::Trace,   el::Level::Debug,
                                    el::Level::Fatal,  el::Level::Error,   el::Level::Warning,
                                    el::Level::Verbose, el::Level::Info};

// The library truncates a file that is already over the limit when it is configured,
// without calling the roll-out callback: roll it ourselves first.
void RollOversizedLogFile(const el::Configurations& configuration, const std::string& logFile) {
  const el::Configuration* limit =
      const_cast<el::Configurations&>(configuration).get(el::Level::Global, el::ConfigurationType::MaxLogFileSize);
  if (limit == nullptr) return;
  std::uint64_t maximum = std::strtoull(limit->value().c_str(), nullptr, 10);
  std::uint64_t size = 0;
  if (maximum > 0 && platform::FileSize(logFile, &size) && size >= maximum) {
    rollLogFiles(platform::PathForNarrowCalls(logFile).c_str(), static_cast<std::size_t>(size));
  }
}

}  // namespace

void applyLogConfiguration(const std::string& logFile, const std::string& configFile) {
  el::Configurations base;
  base.setToDefault();
  base.parseFromText(builtInLogConfiguration(), &base);
  // The library opens its files by narrow path.
  platform::MakePrivateDirectory(DirectoryOf(logFile));
  for (el::Level level : kAllLevels) {
    base.set(level, el::ConfigurationType::Filename, platform::PathForNarrowCalls(logFile));
  }

  el::Configurations final;
  if (platform::PathExists(configFile)) {
    final.setFromBase(&base);
    final.parseFromFile(platform::PathForNarrowCalls(configFile), &base);
  } else {
    final.setFromBase(&base);
  }
  RollOversizedLogFile(final, logFile);
  journalPriorities = platform::StandardOutputIsJournal();
  el::Loggers::setDefaultConfigurations(final, true);
  el::Loggers::getLogger(loggers::kDefault, true);
  InstallLineBuilder();
  InstallLineWriter();
}

namespace {

// Resolved ahead: the fault handler may not allocate.
const std::string* preparedDumpPath = nullptr;

}  // namespace

void configureLogging(const InstalledPaths& paths) {
  applyLogConfiguration(paths.logFile, paths.logConfig);
  CrashLog::Prepare(el::Loggers::getLogger(loggers::kDefault));
  if (preparedDumpPath == nullptr) preparedDumpPath = new std::string(paths.crashDump);
  platform::InstallCrashHandlers(LoggingCrashHandler);
  std::set_terminate(terminateHandler);
  NameThread("main");
  el::Helpers::installPreRollOutCallback(rollLogFiles);
}

void rollLogFiles(const char* path, std::size_t) {
  const std::string base = platform::PathFromNarrowCalls(path);
  auto numbered = [&base](int n) { return base + "." + std::to_string(n); };
  platform::RemoveFile(numbered(5));
  for (int n = 4; n >= 1; --n) {
    if (!platform::PathExists(numbered(n))) continue;
    int error = platform::RenameFile(numbered(n), numbered(n + 1));
    if (error != 0) {
      std::printf("Rolling file : Cannot rename %s into %s : code[%d]", numbered(n).c_str(),
                  numbered(n + 1).c_str(), error);
    }
  }
  int error = platform::RenameFile(base, numbered(1));
  if (error != 0) {
    std::printf("Cannot rename %s into %s : code[%d]", base.c_str(), numbered(1).c_str(), error);
  }
}

const char* exceptionCodeName(std::uint32_t code) {
  switch (code) {
    case 0x80000002: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case 0x80000003: return "EXCEPTION_BREAKPOINT";
    case 0x80000004: return "EXCEPTION_SINGLE_STEP";
    case 0xC0000005: return "EXCEPTION_ACCESS_VIOLATION";
    case 0xC0000006: return "EXCEPTION_IN_PAGE_ERROR";
    case 0xC000001D: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case 0xC0000025: return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
    case 0xC0000026: return "EXCEPTION_INVALID_DISPOSITION";
    case 0xC000008C: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case 0xC000008D: return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case 0xC000008E: return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case 0xC000008F: return "EXCEPTION_FLT_INEXACT_RESULT";
    case 0xC0000090: return "EXCEPTION_FLT_INVALID_OPERATION";
    case 0xC0000091: return "EXCEPTION_FLT_OVERFLOW";
    case 0xC0000092: return "EXCEPTION_FLT_STACK_CHECK";
    case 0xC0000093: return "EXCEPTION_FLT_UNDERFLOW";
    case 0xC0000094: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case 0xC0000095: return "EXCEPTION_INT_OVERFLOW";
    case 0xC0000096: return "EXCEPTION_PRIV_INSTRUCTION";
    case 0xC00000FD: return "EXCEPTION_STACK_OVERFLOW";
    default: return "UNKNOWN EXCEPTION";
  }
}

// Runs inside the fault handler: its lines go through CrashLog, never through the
// logging library, whose locks another thread may hold.
void LoggingCrashHandler(const platform::CrashContext& context) {
  FixedText message;
  message << "Service will stop because of an Unhandled exception " << std::uint64_t{context.exceptionCode} << "("
          << exceptionCodeName(context.exceptionCode) << ")"
          << " at address ";
  message.Hex(context.address);
  CrashLog::Error(message);
  CreateMiniDump(&context);
}

void CreateMiniDump(const platform::CrashContext* context) {
  // Only a process that never configured its logging resolves the path here.
  if (preparedDumpPath == nullptr) preparedDumpPath = new std::string(ResolveBesideExecutable(paths::kCrashDump));
  const std::string& path = *preparedDumpPath;
  platform::Error error;
  std::intptr_t file = platform::CreateDumpFile(path, &error);
  if (file < 0) {
    CrashLog::Error(FixedText() << "CreateFile failed. Error: " << static_cast<std::uint64_t>(error.Code()));
    return;
  }
  CrashLog::Error(FixedText() << "MiniDumpWriteDump on " << path);
  const platform::CrashContext none{0, 0, nullptr};
  error = platform::WriteDump(file, context != nullptr ? *context : none);
  if (error.Succeeded()) {
    CrashLog::Error(FixedText() << "MiniDumpWriteDump success. ");
  } else {
    CrashLog::Error(FixedText() << "MiniDumpWriteDump failed. Error: " << static_cast<std::uint64_t>(error.Code()));
  }
  platform::CloseDumpFile(file);
}

// Terminate may be called while this thread, or one blocked in a write, holds the
// logging library's locks: the line goes out as the fault handler's do.
void terminateHandler() {
  CrashLog::Error(FixedText() << "Terminate handler called, abnormal termination");
  std::abort();
}

void NameThread(const std::string& name) {
  el::Helpers::setThreadName(name);
  CrashLog::NameThread(name);
  // The library ignores an empty name; so does the builder's copy.
  if (!name.empty()) threadLogName = name;
}

std::string PointerText(const void* pointer) {
  std::ostringstream text;
  text << pointer;
  return text.str();
}

void silenceLogging() {
  registerLoggers();
  el::Configurations quiet;
  quiet.setToDefault();
  quiet.set(el::Level::Global, el::ConfigurationType::Enabled, "false");
  quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
  quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
  el::Loggers::setDefaultConfigurations(quiet, true);
}

void FlushLogs() { el::Loggers::flushAll(); }

}  // namespace vortan
