#include "Logging.h"

#include <cstdio>
#include <exception>
#include <sstream>

#include "Paths.h"
#include "platform/Crash.h"
#include "platform/ProcessInfo.h"

namespace vortan {

namespace loggers {
const char* const kDefault = "default";
const char* const kConfig = "Config";
const char* const kVpnConfig = "VpnConfig";
const char* const kOpenVpnManager = "OpenVpnManager";
const char* const kService = "service";
const char* const kNetwork = "Network";
const char* const kStunnel = "stunnel";
const char* const kRoute = "route";
const char* const kBroadcast = "broadcast";
}  // namespace loggers

void registerLoggers() {
  for (const char* name : {loggers::kDefault, loggers::kVpnConfig, loggers::kOpenVpnManager,
                           loggers::kService, loggers::kNetwork, loggers::kStunnel, loggers::kRoute,
                           loggers::kBroadcast}) {
    el::Loggers::getLogger(name, true);
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
    rollLogFiles(logFile.c_str(), static_cast<std::size_t>(size));
  }
}

}  // namespace

void applyLogConfiguration(const std::string& logFile, const std::string& configFile) {
  el::Configurations base;
  base.setToDefault();
  base.parseFromText(builtInLogConfiguration(), &base);
  for (el::Level level : kAllLevels) base.set(level, el::ConfigurationType::Filename, logFile);

  el::Configurations final;
  if (platform::PathExists(configFile)) {
    final.setFromBase(&base);
    final.parseFromFile(configFile, &base);
  } else {
    final.setFromBase(&base);
  }
  platform::MakePrivateDirectory(DirectoryOf(logFile));
  RollOversizedLogFile(final, logFile);
  el::Loggers::setDefaultConfigurations(final, true);
  el::Loggers::getLogger(loggers::kDefault, true);
}

void configureLogging() {
  applyLogConfiguration(ResolveBesideExecutable(paths::kLogFile),
                        ResolveBesideExecutable(paths::kLogConfig));
  platform::InstallCrashHandlers(LoggingCrashHandler);
  std::set_terminate(terminateHandler);
  NameThread("main");
  el::Helpers::installPreRollOutCallback(rollLogFiles);
}

void rollLogFiles(const char* path, std::size_t) {
  const std::string base(path);
  auto numbered = [&base](int n) { return base + "." + std::to_string(n); };
  platform::DeleteFile(numbered(5));
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

void LoggingCrashHandler(const platform::CrashInfo& info) {
  std::ostringstream address;
  address << std::hex << std::uppercase << info.address;
  CLOG(ERROR, loggers::kDefault) << "Service will stop because of an Unhandled exception " << info.exceptionCode
                                 << "(" << exceptionCodeName(info.exceptionCode) << ")"
                                 << " at address " << address.str();
  CreateMiniDump(&info);
  FlushLogs();
}

void CreateMiniDump(const platform::CrashInfo* info) {
  const std::string path = ResolveBesideExecutable(paths::kCrashDump);
  int error = 0;
  std::intptr_t file = platform::CreateDumpFile(path, &error);
  if (file < 0) {
    CLOG(ERROR, loggers::kDefault) << "CreateFile failed. Error: " << error;
    return;
  }
  CLOG(ERROR, loggers::kDefault) << "MiniDumpWriteDump on " << path;
  platform::CrashInfo none{0, 0, 0};
  error = platform::WriteDump(file, info != nullptr ? *info : none);
  if (error == 0) {
    CLOG(ERROR, loggers::kDefault) << "MiniDumpWriteDump success. ";
  } else {
    CLOG(ERROR, loggers::kDefault) << "MiniDumpWriteDump failed. Error: " << error;
  }
  platform::CloseDumpFile(file);
}

void terminateHandler() {
  CLOG(ERROR, loggers::kDefault) << "Terminate handler called, abnormal termination";
  FlushLogs();
  std::abort();
}

void NameThread(const std::string& name) { el::Helpers::setThreadName(name); }

std::string PointerText(const void* pointer) {
  std::ostringstream text;
  text << pointer;
  return text.str();
}

void FlushLogs() { el::Loggers::flushAll(); }

}  // namespace vortan
