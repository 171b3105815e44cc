// /install and /remove against systemd's unit directory. Every case runs in a private
// mount namespace with an empty tmpfs over /etc/systemd/system (and over /run/systemd,
// so that no running systemd is ever asked anything): the real directory is never
// touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace vortan {
namespace test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

bool HaveSystemdAnalyze() { return Shell("command -v systemd-analyze >/dev/null") == 0; }

// Runs script with $B naming the service executable, $U the unit file, $W the directory
// of the units started at boot and $L the unit's link there, inside the private
// namespace. The script reports each step's exit status itself.
std::string RunInPrivateUnitDirectory(const std::string& executable, const std::string& script) {
  const std::string setup =
      "set -u; mount -t tmpfs tmpfs /etc/systemd/system || exit 99; "
      "if [ -d /run/systemd ]; then mount -t tmpfs tmpfs /run/systemd || exit 99; fi; "
      "export SYSTEMD_OFFLINE=1; B=\"$1\"; U=/etc/systemd/system/VortanVpnService.service; "
      "W=/etc/systemd/system/multi-user.target.wants; L=$W/VortanVpnService.service; ";
  std::string output;
  int status = RunCommand(
      {"unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", setup + script, "sh", executable}, &output);
  EXPECT_EQ(0, status) << output;
  return output;
}

struct InstallCase {
  const char* name;
  const char* script;
  std::vector<std::string> expected;   // texts the output must contain
  std::vector<std::string> forbidden;  // texts it must not contain
};

void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.name; }

class InstallRemoveTest : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InstallRemoveTest, MessagesExitCodesAndFiles) {
  InstalledLayout layout;
  const std::string output = RunInPrivateUnitDirectory(layout.Executable(), GetParam().script);
  for (const std::string& text : GetParam().expected) EXPECT_THAT(output, HasSubstr(text));
  for (const std::string& text : GetParam().forbidden) EXPECT_THAT(output, Not(HasSubstr(text)));
}

const char* const kInstalled = "[DEBUG][main] service - Service successfully installed (but not started !)\n";
const char* const kReloadWarning = "[WARNING][main] service - systemd is not running: reload its configuration";

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallRemoveTest,
    ::testing::Values(
        InstallCase{"InstallAutoEnablesAtBoot",
                    "\"$B\" /install /auto; echo \"rc=$?\"; test -L $L && echo enabled",
                    {"rc=0\n", kInstalled, kReloadWarning, "enabled\n"},
                    {"[ERROR][main] service -"}},
        InstallCase{"InstallOnDemandIsNotEnabled",
                    "\"$B\" /install; echo \"rc=$?\"; test -f $U && echo unit; "
                    "test -e $W || echo not-enabled",
                    {"rc=0\n", kInstalled, "unit\n", "not-enabled\n"},
                    {"[ERROR][main] service -"}},
        InstallCase{"NameValueIsIgnored",
                    "\"$B\" /install:Other; echo \"rc=$?\"; ls /etc/systemd/system",
                    {"rc=0\n", "\nVortanVpnService.service\n"},
                    {"Other.service"}},
        InstallCase{"SecondInstallFails",
                    "\"$B\" /install; \"$B\" /install /auto; echo \"rc=$?\"; test -e $W || echo not-enabled",
                    {"rc=1\n", "[ERROR][main] service - Error: Service already installed.\n", "not-enabled\n"},
                    {}},
        InstallCase{"UnwritableUnitDirectory",
                    "mount -o remount,ro /etc/systemd/system; \"$B\" /install; echo \"rc=$?\"",
                    {"rc=1\n", "[ERROR][main] service - Failed to install service. Error=30\n"},
                    {"successfully"}},
        InstallCase{"RemoveWhenNotInstalled",
                    "\"$B\" /remove; echo \"rc=$?\"",
                    {"rc=1\n", "[ERROR][main] service - Error: The service is not installed.\n"},
                    {"successfully"}},
        InstallCase{"RemoveStopsDisablesAndDeletes",
                    "\"$B\" /install /auto >/dev/null; \"$B\" /remove:Other; echo \"rc=$?\"; "
                    "test -e $U || echo unit-gone; test -L $L || echo link-gone",
                    {"rc=0\n", "[DEBUG][main] service - Service successfully stopped (Was it running ?).\n",
                     "[DEBUG][main] service - Service successfully removed.\n", kReloadWarning, "unit-gone\n",
                     "link-gone\n"},
                    {"Failed to stop", "[ERROR][main] service -"}},
        InstallCase{"RemoveFromUnwritableUnitDirectory",
                    "\"$B\" /install >/dev/null; mount -o remount,ro /etc/systemd/system; \"$B\" /remove; echo \"rc=$?\"; "
                    "test -f $U && echo kept",
                    {"rc=1\n", "[ERROR][main] service - Failed to remove service. (Error=30)\n", "kept\n"},
                    {"Service successfully removed."}}),
    [](const ::testing::TestParamInfo<InstallCase>& info) { return std::string(info.param.name); });

// Installs from executable and returns the unit file; systemd-analyze (when available)
// must find nothing wrong with it.
std::string InstalledUnit(const std::string& executable) {
  std::string script = "\"$B\" /install >/dev/null 2>&1; echo ===; cat $U; echo ===;";
  if (HaveSystemdAnalyze()) script += " systemd-analyze verify $U; echo \"verify=$?\"";
  const std::string output = RunInPrivateUnitDirectory(executable, script);
  if (HaveSystemdAnalyze()) {
    EXPECT_THAT(output, HasSubstr("verify=0\n")) << output;
  }
  const std::string::size_type begin = output.find("===\n");
  const std::string::size_type end = output.rfind("===\n");
  if (begin == std::string::npos || end <= begin) return std::string();
  return output.substr(begin + 4, end - begin - 4);
}

TEST(UnitFile, NotifyUnitStartingTheInstalledExecutable) {
  InstalledLayout layout;
  const std::string unit = InstalledUnit(layout.Executable());
  for (const std::string& line : std::vector<std::string>{"Description=OpenVpn Launcher Service\n", "Type=notify\n", "NotifyAccess=main\n",
        "ExecStart=\"" + layout.Executable() + "\"\n", "Restart=on-failure\n", "LimitNOFILE=65536\n", "KillMode=mixed\n",
        "DeviceAllow=/dev/net/tun rw\n", "ProtectKernelTunables=yes\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_THAT(unit, HasSubstr(line));
  }
  // Clients' files are written with the client's rights wherever the client may write:
  // only the system's directories and the service's programs are read-only.
  EXPECT_THAT(unit, HasSubstr("ProtectSystem=full\n"));
  for (auto text : {"ProtectSystem=strict", "ReadWritePaths="}) EXPECT_THAT(unit, Not(HasSubstr(text)));
  EXPECT_THAT(unit, HasSubstr("ReadOnlyPaths=\"" + layout.Bin() + "\"\n"));
  // The service confines OpenVPN and stunnel itself: the filter lets it.
  EXPECT_THAT(unit, HasSubstr("SystemCallFilter=@system-service landlock_create_ruleset landlock_add_rule "
                              "landlock_restrict_self\n"));
  EXPECT_THAT(unit, HasSubstr("CAP_NET_ADMIN"));
}

// A blank and "%" in the path survive the unit parser; characters systemd refuses in
// a program's path make the install fail instead of writing a unit that cannot start.
TEST(UnitFile, ExecutablePathsWithSpecialCharacters) {
  InstalledLayout layout;
  auto copyTo = [&](const std::string& directory) {
    std::filesystem::create_directories(directory + "/bin");
    std::filesystem::copy_file(layout.Executable(), directory + "/bin/VortanVpnService");
    return directory + "/bin/VortanVpnService";
  };
  const std::string unit = InstalledUnit(copyTo(layout.Root() + "/my dir %h"));
  EXPECT_THAT(unit, HasSubstr("ExecStart=\"" + layout.Root() + "/my dir %%h/bin/VortanVpnService\"\n"));

  for (const char* odd : {"/quote\"d", "/back\\slash", "/single'quote"}) {
    const std::string refused =
        RunInPrivateUnitDirectory(copyTo(layout.Root() + odd), "\"$B\" /install; echo \"rc=$?\"");
    EXPECT_THAT(refused, HasSubstr("[ERROR][main] service - Failed to install service. Error=22\n")) << odd;
    EXPECT_THAT(refused, HasSubstr("rc=1\n")) << odd;
  }
}

}  // namespace
}  // namespace test
}  // namespace vortan
