#include "platform/Processes.h"

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <mutex>
#include <utility>

#include "platform/windows/ChildJob.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

// A launched program runs as the service's account. Everyone may wait for it to end
// (SYNCHRONIZE) and nothing more: no other user may open it to read its memory, inject
// a thread or end it. The system and administrators keep full control. Protected, so
// nothing inherited widens it.
constexpr wchar_t kProcessDescriptor[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100000;;;WD)";

// The exit event may be opened (and so set) only by the system and administrators:
// anyone else could end the tunnel at will.
constexpr wchar_t kExitEventDescriptor[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// What an exit run (the program started again to end the first one) may take.
constexpr DWORD kExitRunWaitMs = 5000;

// The exit code of a process ended by Kill.
constexpr UINT kKilledExitCode = 1;

// RequestExit and Kill on a process that has ended.
constexpr DWORD kProcessEnded = ERROR_PROCESS_ABORTED;

HANDLE Native(ProcessHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// A security descriptor made from its SDDL text, freed with the object.
class SecurityDescriptor {
 public:
  explicit SecurityDescriptor(const wchar_t* sddl) {
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
      error_ = ::GetLastError();
      descriptor_ = nullptr;
    }
  }
  ~SecurityDescriptor() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

  DWORD Error() const { return error_; }
  // Not inheritable: a handle to the object never passes to a child.
  SECURITY_ATTRIBUTES Attributes() const {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor_;
    attributes.bInheritHandle = FALSE;
    return attributes;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  DWORD error_ = 0;
};

// No blank, tab or quote: the word reaches the program as it is written.
bool NeedsNoQuotes(const std::wstring& word) {
  return !word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos;
}

// Appends word as one argument in the quoting that the C runtime's argument parser
// undoes: backslashes are doubled only where a quote follows them.
void AppendQuoted(std::wstring* line, const std::wstring& word) {
  line->push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

// The program's path in quotes, then each argument: an option word as it is, every
// other argument (paths above all, which may hold blanks) in quotes.
std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& arguments) {
  std::wstring line;
  AppendQuoted(&line, Utf8ToWide(program));
  for (const std::string& argument : arguments) {
    const std::wstring word = Utf8ToWide(argument);
    line.push_back(L' ');
    if (word[0] == L'-' && NeedsNoQuotes(word)) {
      line += word;
    } else {
      AppendQuoted(&line, word);
    }
  }
  return line;
}

// Starts the program without a console, inheriting no handle of the service, with the
// launch descriptor, in the service's job. No standard handles are passed: without inheritance their
// values would name whatever the child happens to open under them. The caller owns both
// returned handles.
int CreateChild(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingDirectory, PROCESS_INFORMATION* started) {
  SecurityDescriptor descriptor(kProcessDescriptor);
  if (descriptor.Error() != 0) return static_cast<int>(descriptor.Error());
  SECURITY_ATTRIBUTES processAttributes = descriptor.Attributes();
  const std::wstring programPath = Utf8ToWide(program);
  std::wstring commandLine = CommandLineOf(program, arguments);
  const std::wstring directory = Utf8ToWide(workingDirectory);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!::CreateProcessW(programPath.c_str(), &commandLine[0], &processAttributes, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, started)) {
    return static_cast<int>(::GetLastError());
  }
  // In the job before its first instruction: nothing it starts can escape it.
  int error = AddToChildJob(started->hProcess);
  if (error == 0 && ::ResumeThread(started->hThread) == static_cast<DWORD>(-1)) {
    error = static_cast<int>(::GetLastError());
  }
  if (error != 0) {
    ::TerminateProcess(started->hProcess, kKilledExitCode);
    ::CloseHandle(started->hThread);
    ::CloseHandle(started->hProcess);
  }
  return error;
}

bool HasEnded(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

// The account as DOMAIN\name, or its SID text when it has no name.
std::string AccountText(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    return WideToUtf8(domainLength == 0 ? std::wstring(name) : std::wstring(domain) + L"\\" + name);
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  const std::string result = WideToUtf8(text);
  ::LocalFree(text);
  return result;
}

// True when the object's owner is the system, the administrators or this process's own
// account: an exit event someone else made before the service would let them end or
// keep every tunnel.
bool OwnedByTrustedAccount(HANDLE object, std::string* ownerText) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  *ownerText = AccountText(owner);
  bool trusted = ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  HANDLE token = nullptr;
  if (!trusted && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    BYTE buffer[256];
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size)) {
      trusted = ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner) != FALSE;
    }
    ::CloseHandle(token);
  }
  ::LocalFree(descriptor);
  return trusted;
}

// The named exit events, created once and held for the life of the service: while the
// service holds it, the name cannot pass to an event somebody else creates.
std::mutex exitEventsMutex;
std::map<std::wstring, HANDLE> exitEvents;

// The manual-reset exit event of that name, created when the service starts (or when
// first needed). *squatter names the owner of an event somebody else made first.
int ExitEvent(const std::string& name, HANDLE* event, std::string* squatter = nullptr) {
  const std::wstring wideName = Utf8ToWide(name);
  std::lock_guard<std::mutex> lock(exitEventsMutex);
  const auto known = exitEvents.find(wideName);
  if (known != exitEvents.end()) {
    *event = known->second;
    return 0;
  }
  SecurityDescriptor descriptor(kExitEventDescriptor);
  if (descriptor.Error() != 0) return static_cast<int>(descriptor.Error());
  SECURITY_ATTRIBUTES attributes = descriptor.Attributes();
  HANDLE created = ::CreateEventW(&attributes, TRUE, FALSE, wideName.c_str());
  if (created == nullptr) return static_cast<int>(::GetLastError());
  std::string owner;
  if (::GetLastError() == ERROR_ALREADY_EXISTS && !OwnedByTrustedAccount(created, &owner)) {
    ::CloseHandle(created);
    if (squatter != nullptr) *squatter = owner.empty() ? "an unknown account" : owner;
    return ERROR_ACCESS_DENIED;
  }
  exitEvents.emplace(wideName, created);
  *event = created;
  return 0;
}

int SetExitEvent(const std::string& name) {
  HANDLE event = nullptr;
  const int error = ExitEvent(name, &event);
  if (error != 0) return error;
  return ::SetEvent(event) ? 0 : static_cast<int>(::GetLastError());
}

// Runs the program once more with its exit arguments and gives that run a bounded time;
// a run that hangs is ended so it cannot pile up.
int RunExitCommand(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingDirectory) {
  PROCESS_INFORMATION started{};
  const int error = CreateChild(program, arguments, workingDirectory, &started);
  if (error != 0) return error;
  ::CloseHandle(started.hThread);
  if (::WaitForSingleObject(started.hProcess, kExitRunWaitMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(started.hProcess, kKilledExitCode);
  }
  ::CloseHandle(started.hProcess);
  return 0;
}

DWORD TimeoutMs(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return 0;
  // INFINITE is 0xFFFFFFFF: a longer wait is cut just below it.
  if (timeout.count() >= static_cast<long long>(INFINITE)) return INFINITE - 1;
  return static_cast<DWORD>(timeout.count());
}

}  // namespace

int PrepareExitEvent(const std::string& name, std::string* squatter) {
  HANDLE event = nullptr;
  return ExitEvent(name, &event, squatter);
}

// A process's handle keeps it from being collected: nothing here needs a thread of the
// launcher's own, and a child ends with the job (ChildJob.h) however the service ends.
struct ChildLauncher::Native {};

ChildLauncher::ChildLauncher() : native_(std::make_unique<Native>()) {}

ChildLauncher::~ChildLauncher() = default;

// Windows has no request to end that every program understands: each program is
// launched with the way it is asked to end (its named event or its exit arguments).
// The process handle of the launch is kept; the process is never looked up again by its
// identifier, which Windows hands to another process once this one is gone.
Error Process::Launch(ChildLauncher& launcher, const LaunchSpec& spec) {
  if (spec.exitRequest.kind == ExitRequest::Kind::kTerminate) return Win32Error(ERROR_NOT_SUPPORTED, "launch");
  Release();
  if (spec.exitRequest.kind == ExitRequest::Kind::kNamedEvent) {
    HANDLE event = nullptr;
    const int error = ExitEvent(spec.exitRequest.eventName, &event);
    if (error != 0) return Win32Error(static_cast<DWORD>(error), "CreateEventW");
    // An exit request to an earlier instance must not end the new one at its start.
    if (!::ResetEvent(event)) return LastWin32Error("ResetEvent");
  }
  PROCESS_INFORMATION started{};
  const int error = CreateChild(spec.program, spec.arguments, spec.workingDirectory, &started);
  if (error != 0) return Win32Error(static_cast<DWORD>(error), "CreateProcessW");
  ::CloseHandle(started.hThread);
  handle_ = reinterpret_cast<ProcessHandle>(started.hProcess);
  id_ = started.dwProcessId;
  launcher_ = &launcher;
  exitRequest_ = spec.exitRequest;
  program_ = spec.program;
  workingDirectory_ = spec.workingDirectory;
  return Error::Success();
}

Error Process::RequestExit() {
  if (handle_ == kNoProcess || HasEnded(Native(handle_))) return Win32Error(kProcessEnded, "exit request");
  switch (exitRequest_.kind) {
    case ExitRequest::Kind::kNamedEvent:
      return Win32Error(static_cast<DWORD>(SetExitEvent(exitRequest_.eventName)), "SetEvent");
    case ExitRequest::Kind::kExitArguments:
      return Win32Error(static_cast<DWORD>(RunExitCommand(program_, exitRequest_.exitArguments, workingDirectory_)),
                        "CreateProcessW");
    case ExitRequest::Kind::kTerminate:
      break;
  }
  return Win32Error(ERROR_NOT_SUPPORTED, "exit request");
}

Error Process::Kill() {
  if (handle_ == kNoProcess || HasEnded(Native(handle_))) return Win32Error(kProcessEnded, "TerminateProcess");
  if (::TerminateProcess(Native(handle_), kKilledExitCode)) return Error::Success();
  const DWORD error = ::GetLastError();
  // TerminateProcess on a process that is just ending fails with access denied.
  return Win32Error(HasEnded(Native(handle_)) ? kProcessEnded : error, "TerminateProcess");
}

bool Process::WaitForExit(std::chrono::milliseconds timeout) {
  if (handle_ == kNoProcess) return true;
  if (::WaitForSingleObject(Native(handle_), TimeoutMs(timeout)) != WAIT_OBJECT_0) return false;
  Release();
  return true;
}

void Process::Release() {
  if (handle_ != kNoProcess) ::CloseHandle(Native(handle_));
  Forget();
}

// Windows offers no unprivileged confinement of a child's writes comparable to Landlock
// (a restricted token or an AppContainer would also take away what OpenVPN needs to
// set up its adapter and routes), so launched programs run with the service's rights.
Error ConfineLaunchedPrograms(std::vector<std::string>) { return Error::Success(); }

std::vector<std::string> SystemWritablePaths() { return {}; }

// Children are in no record here yet: nothing survives to be found at the next start.
void RecordLaunchedPrograms(const std::string&) {}

std::vector<std::uint32_t> EndRecordedLeftovers(const std::string&, const std::string&) { return {}; }

bool HoldInstanceLock(const std::string& path) {
  // Opened without sharing and never closed: a second instance cannot open it. The file
  // goes with the process that holds it, so an uninstall finds run\ empty.
  HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return file != INVALID_HANDLE_VALUE;
}

}  // namespace platform
