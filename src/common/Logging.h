#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <easylogging++.h>

namespace platform {
struct CrashContext;
}

namespace vortan {

// The named loggers of the components; each must be registered before its first use.
namespace loggers {
inline constexpr const char* kDefault = "default";
inline constexpr const char* kConfig = "Config";
inline constexpr const char* kVpnConfig = "VpnConfig";
inline constexpr const char* kOpenVpnManager = "OpenVpnManager";
inline constexpr const char* kService = "service";
inline constexpr const char* kNetwork = "Network";
inline constexpr const char* kStunnel = "stunnel";
inline constexpr const char* kRoute = "route";
inline constexpr const char* kBroadcast = "broadcast";
}  // namespace loggers

// Registers every component logger with the library's current default configuration,
// gives every logger the line builder and installs the line writer. Safe to call more
// than once.
void registerLoggers();

// The builder every logger formats its lines with: the library's layout from the
// logger's configuration, compiled once (the thread's name and the local time's offset
// are kept, not looked up per line).
el::LogBuilderPtr lineLogBuilder();

// The built-in configuration text, in the library's syntax.
const std::string& builtInLogConfiguration();

struct InstalledPaths;

// Full set-up: built-in configuration, the installed tree's log file, the optional
// configuration file layered over it, crash and terminate handlers (with the tree's
// dump file), the thread name "main" and log rolling.
void configureLogging(const InstalledPaths& paths);

// The configuration part of configureLogging, with explicit paths (tests use it). When
// standard output is the journal's stream, lines there start with their syslog priority.
// The library formats with the configuration but is set to write nowhere itself: the
// line writer writes each line to the file and standard output the configuration
// names, flushed and rolled as the library would, before the log call returns.
// Loggers are configured through these functions only (the writer keeps what they set).
void applyLogConfiguration(const std::string& logFile, const std::string& configFile);

// Prepares the fault handler's lines (CrashLog) from the logger "default" and the
// current destinations; configureLogging does it.
void PrepareCrashLog();

// Pre-roll-out callback: keeps five older files, path.1 (newest) to path.5.
void rollLogFiles(const char* path, std::size_t size);

// Name of an exception code of the service's crash table, or "UNKNOWN EXCEPTION".
const char* exceptionCodeName(std::uint32_t code);

// Fault handling: the log line, then the dump file.
void LoggingCrashHandler(const platform::CrashContext& context);
void CreateMiniDump(const platform::CrashContext* context);
[[noreturn]] void terminateHandler();

// Names the calling thread for the log's %thread field.
void NameThread(const std::string& name);

// A pointer as the standard stream prints it (hexadecimal, "0x" prefix).
std::string PointerText(const void* pointer);

// Registers the loggers and turns all logging off (tools, tests and fuzz targets that
// use the service's units without its log).
void silenceLogging();

// Flushes every logger; used before the process ends.
void FlushLogs();

}  // namespace vortan
