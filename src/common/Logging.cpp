#include "common/Logging.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

#include "common/CrashLog.h"
#include "common/Paths.h"
#include "common/Text.h"
#include "platform/Crash.h"
#include "platform/Journal.h"
#include "platform/NarrowPaths.h"
#include "platform/ProcessInfo.h"

namespace vortan {

namespace {

const char* const kLineWriterId = "LineWriter";
const char* const kLoggerWatchId = "LoggerWatch";

// The name this thread gave itself through NameThread; empty until then.
thread_local std::string threadLogName;

// The calling thread's name for %thread: its own, or the library's (the thread id).
const std::string& ThreadName(std::string* library) {
  if (!threadLogName.empty()) return threadLogName;
  *library = el::Helpers::getThreadName();
  return *library;
}

// The library's source file texts: the last 100 bytes of the path (or of its last
// component), starting with ".." where cut.
std::string CutFileName(const char* name) {
  constexpr std::size_t kLimit = 100;
  std::string text;
  const std::size_t size = std::strlen(name);
  if (size >= kLimit) {
    name += size - kLimit;
    if (name[0] != '.' && name[1] != '.') {
      name += 3;
      text = "..";
    }
  }
  return text + name;
}

std::string BaseFileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return CutFileName(path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
}

// A compiled format with its thread, date and message fields each left as a mark byte,
// put in by the library's replacements (so escapes come out alike). Filling the marks
// gives the library's line when the format has no other per-line field and neither the
// thread's name nor the date text holds a "%" (the library's later replacements would
// look into them); other lines take the library's chain of replacements.
constexpr char kThreadMark = '\x01', kDateMark = '\x02', kMessageMark = '\x03';

struct CompiledFormat {
  LineFormat format;
  std::string marked;
  bool markable = false;
  // When the date format ends with its only subsecond field, the text before it
  // changes once a second: prefix and subsecond are formatted apart.
  bool splitsAtSubsecond = false;
  LineFormat prefix;
  LineFormat subsecond;
};

bool SplitsAtSubsecond(const std::string& format, std::string* prefix) {
  if (format.size() < 2 || format[format.size() - 2] != '%') return false;
  if (format.back() != 'g' && format.back() != 'z') return false;
  *prefix = format.substr(0, format.size() - 2);
  return (prefix->empty() || prefix->back() != '%') && prefix->find("%g") == std::string::npos &&
         prefix->find("%z") == std::string::npos;
}

// The local time's offset, taken again when the second changes (the offset changes
// with daylight saving time, and only ever at a full second), and the date text before
// the subsecond field for that second.
struct SecondText {
  std::int64_t second = -1;
  long utcOffset = 0;
  std::string dateFormat;
  std::string prefix;
};
thread_local SecondText secondText;

std::size_t DateText(const CompiledFormat& compiled, char (&text)[kDateTextBytes + 1]) {
  std::int64_t seconds = 0;
  std::int32_t microseconds = 0;
  platform::CurrentTime(&seconds, &microseconds);
  SecondText& cache = secondText;
  if (cache.second != seconds) {
    cache.second = seconds;
    cache.utcOffset = platform::LocalUtcOffset();
    cache.dateFormat.clear();
  }
  if (compiled.splitsAtSubsecond) {
    if (cache.dateFormat != compiled.prefix.dateFormat) {
      char prefix[kDateTextBytes + 1];
      cache.prefix.assign(prefix, FormatDate(compiled.prefix, seconds, microseconds, cache.utcOffset, prefix));
      cache.dateFormat = compiled.prefix.dateFormat;
    }
    // Within the library's 30 bytes, the two texts side by side are its text.
    if (cache.prefix.size() + static_cast<std::size_t>(compiled.format.subsecondWidth) <= kDateTextBytes) {
      char digits[kDateTextBytes + 1];
      const std::size_t count = FormatDate(compiled.subsecond, seconds, microseconds, cache.utcOffset, digits);
      std::memcpy(text, cache.prefix.data(), cache.prefix.size());
      std::memcpy(text + cache.prefix.size(), digits, count);
      return cache.prefix.size() + count;
    }
  }
  return FormatDate(compiled.format, seconds, microseconds, cache.utcOffset, text);
}

CompiledFormat Compile(el::Logger* logger, el::Level level) {
  CompiledFormat compiled;
  compiled.format = CompileLineFormat(logger, level);
  const LineFormat& format = compiled.format;
  constexpr unsigned kMarkable = LineFormat::kThread | LineFormat::kDate | LineFormat::kMessage;
  compiled.markable = (format.fields & ~kMarkable) == 0 &&
                      format.format.find_first_of(std::string{kThreadMark, kDateMark, kMessageMark}) == std::string::npos;
  compiled.marked = format.format;
  if (format.fields & LineFormat::kThread) ReplaceFirstWithEscape(compiled.marked, "%thread", {kThreadMark});
  if (format.fields & LineFormat::kDate) ReplaceFirstWithEscape(compiled.marked, "%datetime", {kDateMark});
  if (format.fields & LineFormat::kMessage) ReplaceFirstWithEscape(compiled.marked, "%msg", {kMessageMark});
  compiled.prefix = compiled.subsecond = format;
  compiled.splitsAtSubsecond = SplitsAtSubsecond(format.dateFormat, &compiled.prefix.dateFormat);
  compiled.subsecond.dateFormat = "%g";
  return compiled;
}

// A line as the library's builder makes it: the compiled format with the per-line
// fields put in one after the other, in the library's order and with its escape rule
// (so a field's text that holds a specifier comes out alike).
std::string RenderLine(const CompiledFormat& compiled, const el::LogMessage* message, bool appendNewLine) {
  const LineFormat& format = compiled.format;
  const unsigned fields = format.fields;
  std::string libraryName;
  const std::string& thread = (fields & LineFormat::kThread) ? ThreadName(&libraryName) : libraryName;
  char date[kDateTextBytes + 1];
  const std::size_t dateSize = (fields & LineFormat::kDate) ? DateText(compiled, date) : 0;
  const std::string& text = message->message();
  std::string line;
  if (compiled.markable && thread.find('%') == std::string::npos && std::memchr(date, '%', dateSize) == nullptr) {
    line.reserve(compiled.marked.size() + thread.size() + dateSize + text.size() + 1);
    const char* next = compiled.marked.data();
    const char* const end = next + compiled.marked.size();
    while (next < end) {
      const char* mark = next;
      while (mark < end && *mark != kThreadMark && *mark != kDateMark && *mark != kMessageMark) ++mark;
      line.append(next, static_cast<std::size_t>(mark - next));
      if (mark == end) break;
      switch (*mark) {
        case kThreadMark: line += thread; break;
        case kDateMark: line.append(date, dateSize); break;
        default: line += text; break;
      }
      next = mark + 1;
    }
    if (appendNewLine) line += '\n';
    return line;
  }
  line = format.format;
  if (fields & LineFormat::kApp) ReplaceFirstWithEscape(line, "%app", message->logger()->parentApplicationName());
  if (fields & LineFormat::kThread) ReplaceFirstWithEscape(line, "%thread", thread);
  if (fields & LineFormat::kDate) ReplaceFirstWithEscape(line, "%datetime", std::string(date, dateSize));
  if (fields & LineFormat::kFunction) ReplaceFirstWithEscape(line, "%func", message->func());
  if (fields & LineFormat::kFile) ReplaceFirstWithEscape(line, "%file", CutFileName(message->file().c_str()));
  if (fields & LineFormat::kFileBase) ReplaceFirstWithEscape(line, "%fbase", BaseFileName(message->file()));
  if (fields & LineFormat::kLine) ReplaceFirstWithEscape(line, "%line", std::to_string(message->line()));
  if (fields & LineFormat::kLocation) {
    ReplaceFirstWithEscape(line, "%loc", CutFileName(message->file().c_str()) + ":" + std::to_string(message->line()));
  }
  if ((fields & LineFormat::kVerboseLevel) && message->level() == el::Level::Verbose) {
    ReplaceFirstWithEscape(line, "%vlevel", std::to_string(message->verboseLevel() % 10));
  }
  if (fields & LineFormat::kMessage) ReplaceFirstWithEscape(line, "%msg", text);
  if (appendNewLine) line += '\n';
  return line;
}

// The compiled formats, by logger and level. Compiled at a logger's first line after
// a configuration; forgotten when a configuration is applied here and when a logger
// is registered (a new logger may live where a removed one lived).
class FormatCache {
 public:
  std::shared_ptr<const CompiledFormat> For(el::Logger* logger, el::Level level) {
    // A thread logs mostly through one logger at one level: its last format is kept.
    LastFormat& last = lastFormat;
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    if (last.format && last.generation == generation && last.logger == logger && last.level == level) {
      return last.format;
    }
    const Key key{logger, static_cast<int>(level)};
    std::shared_ptr<const CompiledFormat> format;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = formats_.find(key);
      if (found != formats_.end()) format = found->second;
    }
    if (!format) {
      format = std::make_shared<const CompiledFormat>(Compile(logger, level));
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation == generation_.load(std::memory_order_relaxed)) formats_.emplace(key, format);
    }
    last = {generation, logger, level, format};
    return format;
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    generation_.fetch_add(1, std::memory_order_release);
    formats_.clear();
  }

 private:
  using Key = std::pair<const el::Logger*, int>;
  struct LastFormat {
    std::uint64_t generation = 0;
    const el::Logger* logger = nullptr;
    el::Level level = el::Level::Unknown;
    std::shared_ptr<const CompiledFormat> format;
  };
  static thread_local LastFormat lastFormat;
  std::mutex mutex_;
  std::atomic<std::uint64_t> generation_{1};
  std::map<Key, std::shared_ptr<const CompiledFormat>> formats_;
};
thread_local FormatCache::LastFormat FormatCache::lastFormat;

FormatCache& Formats() {
  static FormatCache* cache = new FormatCache;  // used by threads that may outlive main
  return *cache;
}

// The line of the message being dispatched on this thread. The library's own dispatch
// callback (which writes nowhere) and the line writer both ask the logger's builder for
// the line of each message: the second takes the line the first built. A kept line
// serves only the other of the two, and only for the same message (address, logger,
// level and text), so a line is never taken from an earlier call.
struct DispatchedLine {
  const el::LogMessage* message = nullptr;
  const el::Logger* logger = nullptr;
  el::Level level = el::Level::Unknown;
  std::size_t textHash = 0;  // of the message's text
  std::string line;
  bool builtByWriter = false;
};
thread_local DispatchedLine dispatchedLine;

bool TakeDispatchedLine(const el::LogMessage* message, bool forWriter, std::string* line) {
  DispatchedLine& kept = dispatchedLine;
  if (kept.message != message || kept.builtByWriter == forWriter || kept.logger != message->logger() ||
      kept.level != message->level() || kept.textHash != std::hash<std::string>()(message->message())) {
    return false;
  }
  kept.message = nullptr;
  *line = std::move(kept.line);
  return true;
}

void KeepDispatchedLine(const el::LogMessage* message, bool byWriter, std::string line) {
  DispatchedLine& kept = dispatchedLine;
  kept.message = message;
  kept.logger = message->logger();
  kept.level = message->level();
  kept.textHash = std::hash<std::string>()(message->message());
  kept.line = std::move(line);
  kept.builtByWriter = byWriter;
}

// Builds the library's lines from the logger's own configuration, with less work per
// line than the library's builder: the format is compiled once, the thread's name and
// the local time's offset are kept, not looked up.
class LineBuilder : public el::LogBuilder {
 public:
  std::string build(const el::LogMessage* message, bool appendNewLine) const override {
    std::string line;
    if (appendNewLine && TakeDispatchedLine(message, false, &line)) return line;
    line = RenderLine(*Formats().For(message->logger(), message->level()), message, appendNewLine);
    if (appendNewLine) KeepDispatchedLine(message, false, line);
    return line;
  }
  // For the line writer: the line of message with its line end, built once per dispatch
  // (*built: it was built here, for the other one to take).
  static std::string LineForWriter(const el::LogMessage* message, bool* built) {
    std::string line;
    *built = !TakeDispatchedLine(message, true, &line);
    if (*built) line = RenderLine(*Formats().For(message->logger(), message->level()), message, true);
    return line;
  }
};

class LoggerWatch : public el::LoggerRegistrationCallback {
 protected:
  void handle(const el::Logger*) override { Formats().Forget(); }
};

el::LogBuilderPtr& TheLineBuilder() {
  static el::LogBuilderPtr builder = std::make_shared<LineBuilder>();
  return builder;
}

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

constexpr el::Level kAllLevels[] = {el::Level::Global, el::Level::Trace,   el::Level::Debug,
                                    el::Level::Fatal,  el::Level::Error,   el::Level::Warning,
                                    el::Level::Verbose, el::Level::Info};
constexpr std::size_t kLevelCount = sizeof kAllLevels / sizeof kAllLevels[0];

std::size_t LevelIndex(el::Level level) {
  for (std::size_t i = 0; i < kLevelCount; ++i) {
    if (kAllLevels[i] == level) return i;
  }
  return 0;
}

// Where the lines of one level go, as the service's configuration says. The library
// itself is configured to write nowhere: these lines are written here.
struct LevelOutputs {
  bool enabled = false;
  int file = -1;  // index into Outputs::files; -1: not to a file
  bool toStandardOutput = false;
  std::size_t maxFileSize = 0;
  std::size_t flushThreshold = 1;
};

struct Outputs {
  std::vector<std::string> files;  // the library's (narrow) file names
  LevelOutputs levels[kLevelCount];
};

// The library's reading of its boolean and size values.
bool ConfigurationFlag(std::string text) {
  text = TrimLine(text);
  return text == "TRUE" || text == "true" || text == "1";
}

std::size_t ConfigurationSize(std::string text) {
  text = TrimLine(text);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<std::size_t>(std::strtoull(text.c_str(), nullptr, 10));
}

// The library's own null file (its default file name in this build).
const std::string& LibraryNullFile() {
  static const std::string name = [] {
    el::Configurations defaults;
    defaults.setToDefault();
    return ConfigurationValue(&defaults, el::Level::Global, el::ConfigurationType::Filename);
  }();
  return name;
}

Outputs OutputsOf(el::Configurations& configuration) {
  Outputs outputs;
  for (std::size_t i = 0; i < kLevelCount; ++i) {
    const el::Level level = kAllLevels[i];
    LevelOutputs& out = outputs.levels[i];
    auto value = [&](el::ConfigurationType type) { return ConfigurationValue(&configuration, level, type); };
    out.enabled = ConfigurationFlag(value(el::ConfigurationType::Enabled));
    out.toStandardOutput = ConfigurationFlag(value(el::ConfigurationType::ToStandardOutput));
    out.maxFileSize = ConfigurationSize(value(el::ConfigurationType::MaxLogFileSize));
    out.flushThreshold = ConfigurationSize(value(el::ConfigurationType::LogFlushThreshold));
    const std::string file = value(el::ConfigurationType::Filename);
    if (ConfigurationFlag(value(el::ConfigurationType::ToFile)) && !file.empty() && file != LibraryNullFile()) {
      auto known = std::find(outputs.files.begin(), outputs.files.end(), file);
      out.file = static_cast<int>(known - outputs.files.begin());
      if (known == outputs.files.end()) outputs.files.push_back(file);
    }
  }
  return outputs;
}

// Writes the log's lines, to the files and standard output, before the call that made
// them returns. The library dispatches one line at a time (under its own lock), so the
// lines go out one by one, in the order they were logged.
class OutputWriter {
 public:
  // Writes what is held, closes the files and takes the new destinations.
  void Reset(Outputs outputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (OpenFile& file : files_) {
      WriteHeld(file, file.held.size());
      if (file.handle >= 0) platform::CloseFile(file.handle);
    }
    // The replaced outputs are kept for good: a thread may still read them unlocked.
    outputs_ = &keptOutputs_.emplace_back(std::move(outputs));
    current_.store(outputs_, std::memory_order_release);
    files_.assign(outputs_->files.size(), OpenFile());
    for (std::size_t i = 0; i < files_.size(); ++i) files_[i].name = outputs_->files[i];
  }

  // The destinations of level, as last set (read without a lock).
  LevelOutputs OutputsFor(el::Level level, std::string* fileName) const {
    const Outputs* outputs = current_.load(std::memory_order_acquire);
    const LevelOutputs& levelOutputs = outputs->levels[LevelIndex(level)];
    if (fileName != nullptr && levelOutputs.file >= 0) *fileName = outputs->files[static_cast<std::size_t>(levelOutputs.file)];
    return levelOutputs;
  }

  // terminalLine: the line for standard output (coloured, where asked). The library
  // flushes a file after every flushThreshold lines and checks its size after each
  // flush: at the limit it rolls the file after that line.
  void Add(el::Level level, const std::string& line, const std::string& terminalLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    const LevelOutputs& outputs = outputs_->levels[LevelIndex(level)];
    if (outputs.toStandardOutput) {
      const std::string text = (journalPriorities ? JournalPriorityPrefix(level) : std::string()) + terminalLine;
      std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
      std::cout.flush();
    }
    if (outputs.file < 0) return;
    OpenFile& file = files_[static_cast<std::size_t>(outputs.file)];
    file.held += line;
    if (!el::Loggers::hasFlag(el::LoggingFlag::ImmediateFlush) && ++file.unflushed < outputs.flushThreshold) return;
    file.unflushed = 0;
    if (outputs.maxFileSize != 0 && Opened(file) && file.size + file.held.size() >= outputs.maxFileSize) {
      WriteHeld(file, file.held.size());
      Roll(file);
    }
    WriteHeld(file, file.held.size());
  }

  // Writes what the flush threshold still holds back.
  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (OpenFile& file : files_) WriteHeld(file, file.held.size());
  }

 private:
  struct OpenFile {
    std::string name;  // the library's narrow name
    std::intptr_t handle = -1;
    std::uint64_t size = 0;
    std::string held;  // kept back by the flush threshold
    std::size_t unflushed = 0;
  };

  static bool Opened(OpenFile& file) {
    if (file.handle >= 0) return true;
    const std::string path = platform::PathFromNarrowCalls(file.name);
    file.handle = platform::OpenForAppend(path.c_str());
    if (file.handle < 0) return false;
    std::uint64_t size = 0;
    file.size = platform::FileSize(path, &size) ? size : 0;
    return true;
  }

  // Writes the first count held bytes; what cannot be written is dropped, as the
  // library drops a line its stream could not take.
  static void WriteHeld(OpenFile& file, std::size_t count) {
    if (count == 0) return;
    if (Opened(file) && platform::WriteWithin(file.handle, file.held.data(), count, 0)) file.size += count;
    file.held.erase(0, count);
  }

  // As the library: close, call the pre-roll-out callback (the service's rollLogFiles),
  // and start the path again empty (a file the callback could not move is lost).
  static void Roll(OpenFile& file) {
    platform::CloseFile(file.handle);
    file.handle = -1;
    rollLogFiles(file.name.c_str(), static_cast<std::size_t>(file.size));
    const std::string path = platform::PathFromNarrowCalls(file.name);
    if (platform::PathExists(path)) platform::RemoveFile(path);
    file.size = 0;
  }

  std::mutex mutex_;
  std::list<Outputs> keptOutputs_{Outputs()};
  const Outputs* outputs_ = &keptOutputs_.front();
  std::atomic<const Outputs*> current_{outputs_};
  std::vector<OpenFile> files_;
};

OutputWriter& Writer() {
  static OutputWriter* writer = new OutputWriter;  // used by threads that may outlive main
  return *writer;
}

// The library calls its dispatch callbacks for every line it lets through (the level
// enabled); the service's destinations decide where the line goes.
class LineWriter : public el::LogDispatchCallback {
 protected:
  void handle(const el::LogDispatchData* data) override {
    const el::LogMessage* message = data->logMessage();
    const el::Level level = message->level();
    const LevelOutputs outputs = Writer().OutputsFor(level, nullptr);
    if (outputs.file < 0 && !outputs.toStandardOutput) return;
    el::LogBuilder* builder = message->logger()->logBuilder();
    bool built = false;
    std::string line =
        builder == TheLineBuilder().get() ? LineBuilder::LineForWriter(message, &built) : builder->build(message, true);
    if (outputs.toStandardOutput && el::Loggers::hasFlag(el::LoggingFlag::ColoredTerminalOutput)) {
      // Colours are for the terminal only: the file gets the plain line.
      std::string colored = line;
      builder->convertToColoredOutput(&colored, level);
      Writer().Add(level, line, colored);
    } else {
      Writer().Add(level, line, line);
    }
    if (built) KeepDispatchedLine(message, true, std::move(line));
  }
};

void InstallLineWriter() {
  if (el::Helpers::logDispatchCallback<LineWriter>(kLineWriterId) != nullptr) return;
  el::Helpers::installLogDispatchCallback<LineWriter>(kLineWriterId);
  el::Loggers::installLoggerRegistrationCallback<LoggerWatch>(kLoggerWatchId);
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

// The service's configuration with the library's own writing switched off: its file
// name is the library's null file (so it holds no handle on the log), and the lines go
// to the destinations the service's configuration names, through the line writer.
el::Configurations WithoutLibraryOutput(const el::Configurations& configuration) {
  const std::string& nullFile = LibraryNullFile();
  // A copy, not setFromBase: that holds the source's lock while taking the copy's, and
  // the library later holds this copy's while taking its defaults' (lock order).
  el::Configurations library(configuration);
  for (el::Level level : kAllLevels) {
    library.set(level, el::ConfigurationType::ToFile, "false");
    library.set(level, el::ConfigurationType::ToStandardOutput, "false");
    library.set(level, el::ConfigurationType::Filename, nullFile);
  }
  return library;
}

// Makes configuration the service's: the library formats with it and writes nothing,
// the line writer writes where it says.
std::atomic<bool> configuredHere{false};

void ApplyConfiguration(el::Configurations& configuration) {
  configuredHere = true;
  journalPriorities = platform::StandardOutputIsJournal();
  InstallLineBuilder();
  InstallLineWriter();
  Writer().Reset(OutputsOf(configuration));
  el::Loggers::setDefaultConfigurations(WithoutLibraryOutput(configuration), true);
  Formats().Forget();
}

}  // namespace

el::LogBuilderPtr lineLogBuilder() { return TheLineBuilder(); }

void registerLoggers() {
  for (const char* name : {loggers::kDefault, loggers::kVpnConfig, loggers::kOpenVpnManager,
                           loggers::kService, loggers::kNetwork, loggers::kStunnel, loggers::kRoute,
                           loggers::kBroadcast}) {
    el::Loggers::getLogger(name, true);
  }
  InstallLineBuilder();
  InstallLineWriter();
  // Until the service's configuration is applied, the line writer writes where the
  // library's defaults say, so that lines logged before it reach the journal too, with
  // their level's priority.
  if (!configuredHere) {
    el::Configurations defaults(*el::Loggers::defaultConfigurations());
    ApplyConfiguration(defaults);
  }
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

// A file already over the limit (as the writer reads the limit) is rolled before the
// writer appends to it.
void RollOversizedLogFile(const el::Configurations& configuration, const std::string& logFile) {
  const el::Configuration* limit =
      const_cast<el::Configurations&>(configuration).get(el::Level::Global, el::ConfigurationType::MaxLogFileSize);
  if (limit == nullptr) return;
  const std::uint64_t maximum = ConfigurationSize(limit->value());
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
  ApplyConfiguration(final);
  el::Loggers::getLogger(loggers::kDefault, true);
}

void PrepareCrashLog() {
  CrashLog::Destinations destinations;
  std::string file;
  const LevelOutputs outputs = Writer().OutputsFor(el::Level::Error, &file);
  destinations.enabled = outputs.enabled;
  destinations.toFile = outputs.file >= 0;
  destinations.logFile = platform::PathFromNarrowCalls(file);
  destinations.toStandardOutput = outputs.toStandardOutput;
  CrashLog::Prepare(el::Loggers::getLogger(loggers::kDefault), destinations);
}

namespace {

// Resolved ahead: the fault handler may not allocate.
const std::string* preparedDumpPath = nullptr;

}  // namespace

void configureLogging(const InstalledPaths& paths) {
  applyLogConfiguration(paths.logFile, paths.logConfig);
  PrepareCrashLog();
  if (preparedDumpPath == nullptr) preparedDumpPath = new std::string(paths.crashDump);
  platform::InstallCrashHandlers(LoggingCrashHandler);
  std::set_terminate(terminateHandler);
  NameThread("main");
  // The library writes no file itself (the line writer rolls the log with
  // rollLogFiles); installed all the same for any file the library would roll.
  el::Helpers::installPreRollOutCallback(rollLogFiles);
}

void rollLogFiles(const char* path, std::size_t) {
  const std::string base = platform::PathFromNarrowCalls(path);
  auto numbered = [&base](int n) { return base + "." + std::to_string(n); };
  platform::RemoveFile(numbered(5));
  for (int n = 4; n >= 1; --n) {
    if (!platform::PathExists(numbered(n))) continue;
    const platform::Error error = platform::RenameFile(numbered(n), numbered(n + 1));
    if (error.Failed()) {
      std::printf("Rolling file : Cannot rename %s into %s : code[%d]", numbered(n).c_str(),
                  numbered(n + 1).c_str(), static_cast<int>(error.Code()));
    }
  }
  const platform::Error error = platform::RenameFile(base, numbered(1));
  if (error.Failed()) {
    std::printf("Cannot rename %s into %s : code[%d]", base.c_str(), numbered(1).c_str(), static_cast<int>(error.Code()));
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
  ApplyConfiguration(quiet);
}

void FlushLogs() {
  el::Loggers::flushAll();
  Writer().Flush();
}

}  // namespace vortan
