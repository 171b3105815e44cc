#include <iostream>
#include <string>
#include <vector>

#include "common/Logging.h"
#include "VortanCtl.h"

int main(int argc, char** argv) {
  // The socket layer logs through the service's loggers; a client keeps quiet.
  vortan::registerLoggers();
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");

  vortanctl::Options options = vortanctl::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.error.empty()) {
    std::cerr << "vortanctl: " << options.error << "\nTry 'vortanctl --help'." << std::endl;
    return vortanctl::kUsageError;
  }
  if (options.help) {
    std::cout << vortanctl::UsageText();
    return 0;
  }
  return vortanctl::Run(options);
}
