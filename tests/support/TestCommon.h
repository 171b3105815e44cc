#pragma once

#include <chrono>
#include <exception>
#include <string>
#include <thread>

// Test helpers that need nothing of the operating system beyond the standard library
// and the service's own platform interfaces, for the tests of every platform.
namespace vortan {
namespace test {

// A name unique to this test run and process, for namespaces, links and files:
// prefix + pid + counter, at most 15 characters when prefix is short (≤ 6).
std::string UniqueName(const std::string& prefix);

// A path in the system's folder for temporary files.
std::string TempPath(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// The parsed content of portused.txt.
struct Endpoint {
  std::string address;
  int port = 0;
};
bool ParsePortUsed(const std::string& text, Endpoint* endpoint);

// A status reply without its time stamp: "STATUS | CODE | message (code N)".
std::string Untimed(const std::string& reply);

// What call throws as an E, or "<no error>"; any other exception fails the test.
template <typename E = std::exception, typename Call>
std::string ErrorOf(Call call) {
  try {
    call();
  } catch (const E& error) {
    return error.what();
  }
  return "<no error>";
}

// The exact welcome line.
extern const char* const kWelcome;

// Polls predicate every 10 ms until it holds or the time-out passes.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace test
}  // namespace vortan
