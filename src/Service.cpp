#include "Service.h"

#include "Logging.h"

namespace vortan {

namespace {
bool ModeNotAvailable(const char* mode) {
  CLOG(ERROR, loggers::kService) << mode << " mode is not available in this build";
  return false;
}
}  // namespace

int RunAsService() { return ModeNotAvailable("service") ? 0 : 1; }
bool InstallService(bool) { return ModeNotAvailable("install"); }
bool RemoveService() { return ModeNotAvailable("remove"); }

}  // namespace vortan
