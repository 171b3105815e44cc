// The Debian package: built with cpack into a temporary directory, then read back
// with dpkg-deb. Nothing is installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace vortan {
namespace test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/vortan-deb-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    directory_ = pattern;
    // The tree is built before the tests run. With the Makefile generator cpack would
    // first make the "preinstall" target, re-checking (or rebuilding) the whole tree
    // while other tests run; naming a generator without that step packages what is
    // built.
    const std::string config = directory_ + "/CPackConfig.cmake";
    WriteFile(config, "include(\"" VORTAN_BINARY_DIR "/CPackConfig.cmake\")\n"
                      "set(CPACK_CMAKE_GENERATOR \"Ninja\")\n");
    std::string output;
    ASSERT_EQ(0, RunCommand({"cpack", "-G", "DEB", "-B", directory_ + "/out", "--config", config}, &output))
        << output;
    for (const auto& entry : fs::directory_iterator(directory_ + "/out")) {
      if (entry.path().extension() == ".deb") package_ = entry.path().string();
    }
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }
  void SetUp() override { ASSERT_FALSE(package_.empty()) << "no .deb in " << directory_; }

  static std::string Dpkg(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"dpkg-deb"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string output;
    EXPECT_EQ(0, RunCommand(command, &output)) << output;
    return output;
  }

  static std::string directory_;
  static std::string package_;
};

std::string PackageTest::directory_;
std::string PackageTest::package_;

TEST_F(PackageTest, ControlFieldsNameTheServiceAndItsPrograms) {
  EXPECT_EQ("vortanvpnservice\n", Dpkg({"-f", package_, "Package"}));
  EXPECT_EQ(VORTAN_PROJECT_VERSION "\n", Dpkg({"-f", package_, "Version"}));
  const std::string depends = Dpkg({"-f", package_, "Depends"});
  EXPECT_THAT(depends, ContainsRegex("(^|, )openvpn(,|$|\n| )"));
  EXPECT_THAT(depends, ContainsRegex("(^|, )stunnel4(,|$|\n| )"));
  EXPECT_THAT(depends, ContainsRegex("(^|, )nftables(,|$|\n| )"));
  EXPECT_THAT(Dpkg({"-f", package_, "Description"}), HasSubstr("OpenVpn Launcher Service"));
}

TEST_F(PackageTest, InstalledTreeLayout) {
  const std::string files = Dpkg({"-c", package_});
  for (const std::string entry :
       {"bin/VortanVpnService\n", "bin/vortanctl\n", "bin/openvpn -> /usr/sbin/openvpn\n",
        "bin/stunnel/stunnel -> /usr/bin/stunnel4\n", "conf/VortanVpnService.ini\n", "conf/servicelog.conf\n",
        "conf/VortanClient.ovpn\n", "conf/VortanClientStunnel.ovpn\n", "conf/stunnel.conf\n"}) {
    EXPECT_THAT(files, HasSubstr(" ./opt/vortanvpnservice/" + entry));
  }
  EXPECT_THAT(files, ContainsRegex("\ndrwxr-x--- [^\n]* ./opt/vortanvpnservice/logs/\n"));
  EXPECT_THAT(files, ContainsRegex("\ndrwxr-x--- [^\n]* ./opt/vortanvpnservice/log/\n"));
  EXPECT_THAT(files, ContainsRegex("\n-rwxr-xr-x [^\n]* ./opt/vortanvpnservice/bin/VortanVpnService\n"));
}

// The installation creates the tunnel group and names it in the settings, keeping an
// administrator's own line: the script's part for it is run on a scratch settings file.
TEST_F(PackageTest, InstallationNamesTheTunnelGroupInTheSettingsOnce) {
  const std::string postinst = Dpkg({"-I", package_, "postinst"});
  EXPECT_THAT(postinst, HasSubstr("GROUP=vortanvpn\n"));
  EXPECT_THAT(postinst, HasSubstr("groupadd --system \"$GROUP\""));
  const std::string begin = "    # The settings name the group once";
  const std::string::size_type from = postinst.find(begin);
  const std::string::size_type to = postinst.find("    fi\n", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::string settings = directory_ + "/settings.ini";
  const std::string part = "GROUP=vortanvpn\nSETTINGS=" + settings + "\n" + postinst.substr(from, to + 7 - from);
  const struct {
    std::string before;
    std::string after;
  } rows[] = {
      {";tunnelgroup = vortanvpn\n",
       ";tunnelgroup = vortanvpn\n\n; Set by the package: members of this group may use the tunnel.\n"
       "tunnelgroup = vortanvpn\n"},
      {"TunnelGroup = staff\n", "TunnelGroup = staff\n"},
  };
  for (const auto& row : rows) {
    WriteFile(settings, row.before);
    ASSERT_EQ(0, RunCommand({"/bin/sh", "-c", part + part}));
    EXPECT_EQ(ReadFile(settings), row.after) << row.before;
  }
}

TEST_F(PackageTest, MaintainerScriptsRegisterAndRemoveTheService) {
  EXPECT_THAT(Dpkg({"-I", package_, "postinst"}),
              HasSubstr("PROGRAM=\"/opt/vortanvpnservice/bin/VortanVpnService\""));
  EXPECT_THAT(Dpkg({"-I", package_, "postinst"}), HasSubstr("\"$PROGRAM\" /install /auto\n"));
  EXPECT_THAT(Dpkg({"-f", package_, "Depends"}), ContainsRegex("(^|, )passwd(,|$|\n| )"));
  EXPECT_THAT(Dpkg({"-I", package_, "prerm"}), HasSubstr("\"$PROGRAM\" /remove"));
  EXPECT_THAT(Dpkg({"-I", package_, "postrm"}), HasSubstr("purge)"));
  EXPECT_THAT(Dpkg({"-I", package_, "postrm"}), HasSubstr("\"$PREFIX/run\""));
  EXPECT_THAT(Dpkg({"-I", package_, "conffiles"}), HasSubstr("/opt/vortanvpnservice/conf/VortanVpnService.ini\n"));
}

}  // namespace
}  // namespace test
}  // namespace vortan
