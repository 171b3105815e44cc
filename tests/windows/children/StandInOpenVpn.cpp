// A stand-in for openvpn.exe that speaks the start of the management dialogue, for the
// Windows scenario table. With "--config <file>" it reads the configuration's
// "management <address> <port> <password file>" line, listens there, asks the service
// for the password and compares it with the file's first line; it then answers every
// command with SUCCESS until the service's exit event (STANDIN_STOP_EVENT) is set.
// STANDIN_RECORD=<file> receives "CONFIG:<path>", "PID:<id>;", "MANAGEMENT:<port>:<id>"
// and "PASSWORD:ok" or "PASSWORD:wrong".
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "platform/windows/WideText.h"

namespace {

// The record's path may hold any character: read as the system's wide text.
void Record(const std::string& line) {
  const wchar_t* record = ::_wgetenv(L"STANDIN_RECORD");
  if (record == nullptr) return;
  std::ofstream(std::filesystem::path(record), std::ios::app | std::ios::binary) << line << "\n";
}

std::string FirstLine(const std::string& utf8Path) {
  std::ifstream file(std::filesystem::u8path(utf8Path), std::ios::binary);
  std::string line;
  std::getline(file, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

// "management 127.0.0.1 3001 "C:\\x\\pw"": the password path is quoted, its
// backslashes doubled.
bool ManagementLine(const std::string& configPath, std::string* address, int* port, std::string* passwordPath) {
  std::ifstream config(std::filesystem::u8path(configPath), std::ios::binary);
  std::string line;
  while (std::getline(config, line)) {
    if (line.rfind("management ", 0) != 0) continue;
    std::istringstream words(line.substr(11));
    words >> *address >> *port;
    const std::size_t open = line.find('"');
    const std::size_t close = line.rfind('"');
    if (open == std::string::npos || close <= open) return false;
    passwordPath->clear();
    for (std::size_t i = open + 1; i < close; ++i) {
      if (line[i] == '\\' && i + 1 < close) ++i;
      passwordPath->push_back(line[i]);
    }
    return true;
  }
  return false;
}

std::string ReadLine(SOCKET peer) {
  std::string line;
  char c = 0;
  while (::recv(peer, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void Send(SOCKET peer, const std::string& text) { ::send(peer, text.data(), static_cast<int>(text.size()), 0); }

void Converse(const std::string& address, int port, const std::string& password) {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<u_short>(port));
  local.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, 1) != 0) {
    Record("LISTEN:failed");
    return;
  }
  SOCKET peer = ::accept(listener, nullptr, nullptr);
  ::closesocket(listener);
  Send(peer, "ENTER PASSWORD:");
  const bool right = ReadLine(peer) == password;
  Record(right ? "PASSWORD:ok" : "PASSWORD:wrong");
  if (!right) {
    ::closesocket(peer);
    return;
  }
  Send(peer, "SUCCESS: password is correct\r\n");
  while (!ReadLine(peer).empty()) Send(peer, "SUCCESS: done\r\n");
  ::closesocket(peer);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::string configPath;
  for (int i = 1; i + 1 < count; ++i) {
    if (std::wstring(arguments[i]) == L"--config") configPath = platform::WideToUtf8(arguments[i + 1]);
  }
  Record("CONFIG:" + configPath);
  Record("PID:" + std::to_string(::GetCurrentProcessId()) + ";");
  std::string address, passwordPath;
  int port = 0;
  if (ManagementLine(configPath, &address, &port, &passwordPath)) {
    Record("MANAGEMENT:" + std::to_string(port) + ":" + std::to_string(::GetCurrentProcessId()));
    std::thread(Converse, address, port, FirstLine(passwordPath)).detach();
  } else {
    Record("MANAGEMENT:missing");
  }
  const char* name = std::getenv("STANDIN_STOP_EVENT");
  HANDLE event = name != nullptr ? ::OpenEventA(SYNCHRONIZE, FALSE, name) : nullptr;
  if (event == nullptr) return 3;
  const bool stopped = ::WaitForSingleObject(event, 60000) == WAIT_OBJECT_0;
  ::ExitProcess(stopped ? 0 : 2);
}
