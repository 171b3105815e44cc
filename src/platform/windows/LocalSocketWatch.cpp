#include "platform/LocalSocketWatch.h"

#include <utility>

namespace platform {

// A loopback endpoint leaves no trace before its owner listens, and then a connect
// tells at once.
LocalSocketWatch::LocalSocketWatch(std::string path) : path_(std::move(path)) {}

LocalSocketWatch::~LocalSocketWatch() = default;

Error LocalSocketWatch::Wait(std::chrono::milliseconds) { return Error::Success(); }

void LocalSocketWatch::Stop() {}

}  // namespace platform
