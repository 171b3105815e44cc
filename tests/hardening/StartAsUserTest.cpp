// "start" from an unprivileged local user: files at the prefix are written with that
// user's rights, OpenVPN and stunnel read root-only copies, and links planted by the
// user are not followed by root.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "NetnsSupport.h"
#include "TestSupport.h"
#include "TestUser.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;
using test::Endpoint;

// The service in a namespace of its own, with templates and program links installed.
class StartAsUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(user_.Created());
    fs::create_symlink("/usr/sbin/openvpn", layout_.Bin() + "/openvpn");
    fs::create_directories(layout_.Bin() + "/stunnel");
    fs::create_symlink("/usr/bin/stunnel4", layout_.Bin() + "/stunnel/stunnel");
  }
  void StartService() {
    service_ = std::make_unique<test::ServiceProcess>(layout_, std::vector<std::string>{"/console"},
                                                      ns_.ExecWrapper());
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint_));
  }
  void TearDown() override {
    if (service_) {
      auto root = ns_.Connect(endpoint_);
      root->ReadLine();
      root->Ask("shutdown");
    }
  }
  // Sends one request as the test user from inside the namespace; returns the reply.
  std::string AskAsUser(const std::string& request) {
    test::AsUser child(user_, ns_, [&](test::AsUser& self) {
      test::LineClient client(endpoint_);
      client.ReadLine();
      self.Report(client.Ask(request));
    });
    return child.Next();
  }
  std::string StartWords(const std::string& prefix, const std::string& proxy = "") const {
    return "start 192.0.2.1 1194 " + prefix + " " + test::UniqueName("vt") + " udp adaptive" + proxy;
  }
  // As the service names it: beside its executable's directory.
  std::string PrivateCopy(const std::string& name) const { return layout_.Bin() + "/../run/" + name; }

  test::TestUser user_;
  test::InstalledLayout layout_{true};
  test::NetworkNamespace ns_{"vth"};
  std::unique_ptr<test::ServiceProcess> service_;
  Endpoint endpoint_;
};

uid_t OwnerOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

TEST_F(StartAsUserTest, PrefixInADirectoryTheUserCannotWriteIsRefusedWithNothingWritten) {
  StartService();
  const std::string rootDir = "/tmp/" + test::UniqueName("rootdir");
  ASSERT_EQ(mkdir(rootDir.c_str(), 0755), 0);
  const std::string reply = AskAsUser(StartWords(rootDir + "/x_"));
  EXPECT_TRUE(std::regex_match(reply, std::regex("ERROR \\| 0 \\| [0-9T:]{17} \\| Cannot write file : " + rootDir +
                                                 "/x__stunnel\\.conf \\(code 0\\)")))
      << reply;
  EXPECT_TRUE(fs::is_empty(rootDir));
  EXPECT_FALSE(test::FileExists(PrivateCopy("vortanclient.ovpn")));
  fs::remove_all(rootDir);
}

TEST_F(StartAsUserTest, OwnPrefixWorksAndOpenVpnReadsARootOnlyCopy) {
  StartService();
  const std::string prefix = user_.Home() + "/x_";
  ASSERT_EQ(AskAsUser(StartWords(prefix)), "OK");
  EXPECT_EQ(OwnerOf(prefix + "vortanclient.ovpn"), user_.Uid());
  EXPECT_EQ(OwnerOf(prefix + "_stunnel.conf"), user_.Uid());

  // The copy OpenVPN reads holds the same text, but for the management channel, and
  // only root can change it.
  const std::string generated = test::ReadFile(prefix + "vortanclient.ovpn");
  ASSERT_FALSE(generated.empty());
  const std::string privateCopy = test::ReadFile(PrivateCopy("vortanclient.ovpn"));
  EXPECT_EQ(std::regex_replace(privateCopy, std::regex("management \"[^\"]*/run/management-1\\.sock\" unix"),
                               "MANAGEMENT"),
            std::regex_replace(generated, std::regex("management 127[.0-9]+ [0-9]+"), "MANAGEMENT"));
  struct stat info {};
  ASSERT_EQ(stat((layout_.Root() + "/run").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, 0u);
  // OpenVPN was launched on the copy (it may have ended already: no certificates here).
  EXPECT_NE(layout_.LogText().find("cmdLine[ --config \"" + PrivateCopy("vortanclient.ovpn") + "\"]"),
            std::string::npos)
      << layout_.LogText();

  // Rewriting the client's file afterwards changes nothing OpenVPN reads.
  test::WriteFile(prefix + "vortanclient.ovpn", "script-security 2\nup /bin/sh\n");
  EXPECT_EQ(test::ReadFile(PrivateCopy("vortanclient.ovpn")), privateCopy);
}

TEST_F(StartAsUserTest, LinksPlantedByTheUserAreNotFollowedByRoot) {
  StartService();
  const std::string secret = "/tmp/" + test::UniqueName("secret");
  test::WriteFile(secret, "root:only\n");
  chmod(secret.c_str(), 0600);
  const std::string prefix = user_.Home() + "/y_";
  for (const char* name : {"y_auth.txt", "y_vortanclient.ovpn", "OpenVpnLog.txt"}) {
    fs::create_symlink(secret, user_.Home() + "/" + name);
    lchown((user_.Home() + "/" + name).c_str(), user_.Uid(), user_.Gid());
  }
  const std::string reply = AskAsUser(StartWords(prefix, " 127.0.0.1 3128 someone pa55word basic"));
  EXPECT_NE(reply.find("Cannot write file : " + prefix + "vortanclient.ovpn"), std::string::npos) << reply;
  EXPECT_EQ(test::ReadFile(secret), "root:only\n");
  unlink(secret.c_str());
}

TEST_F(StartAsUserTest, RootOnlyCopiesCarryTheCredentialsAndNoClientPath) {
  StartService();
  const std::string prefix = user_.Home() + "/z_";
  ASSERT_EQ(AskAsUser(StartWords(prefix, " 127.0.0.1 3128 someone pa55word basic")), "OK");
  const std::string privateConfig = test::ReadFile(PrivateCopy("vortanclient.ovpn"));
  EXPECT_NE(privateConfig.find("\"" + PrivateCopy("auth.txt") + "\" basic"), std::string::npos) << privateConfig;
  EXPECT_EQ(privateConfig.find(prefix + "auth.txt"), std::string::npos);
  EXPECT_EQ(test::ReadFile(PrivateCopy("auth.txt")), "someone\r\npa55word\r\n");
  struct stat info {};
  ASSERT_EQ(stat(PrivateCopy("auth.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace vortan
