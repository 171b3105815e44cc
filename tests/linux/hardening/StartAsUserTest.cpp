// "start" from an unprivileged local user: files at the prefix are written with that
// user's rights, OpenVPN and stunnel read root-only copies, and links planted by the
// user are not followed by root.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
  void StartService(const std::vector<std::string>& moreWrapper = {}) {
    std::vector<std::string> wrapper = ns_.ExecWrapper();
    wrapper.insert(wrapper.end(), moreWrapper.begin(), moreWrapper.end());
    service_ = std::make_unique<test::ServiceProcess>(layout_, std::vector<std::string>{"/console"}, wrapper);
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
  // Certificate and key files as the client deposits them: present, owned by the user
  // (OpenVPN finds them unusable, which these tests do not need).
  void DepositClientFiles(const std::string& prefix) const { user_.DepositClientFiles(prefix); }
  // As the service names it: beside its executable's directory.
  std::string PrivateCopy(const std::string& name) const { return layout_.Bin() + "/../run/" + name; }

  test::TestUser user_;
  test::InstalledLayout layout_{true};
  test::NetworkNamespace ns_{"vth"};
  std::unique_ptr<test::ServiceProcess> service_;
  Endpoint endpoint_;
};

// The service keeps its instance lock and its record of children in run/; anything
// else there is a copy made for a start.
bool RunHoldsNoCopyIn(const std::string& run) {
  if (!fs::exists(run)) return true;
  for (const fs::directory_entry& entry : fs::directory_iterator(run)) {
    const std::string name = entry.path().filename().string();
    if (name != ".instance.lock" && name != "children.txt") return false;
  }
  return true;
}

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

TEST_F(StartAsUserTest, OwnPrefixWorksAndOpenVpnReadsRootOnlyCopies) {
  StartService();
  const std::string prefix = user_.Home() + "/x_";
  DepositClientFiles(prefix);
  ASSERT_EQ(AskAsUser(StartWords(prefix)), "OK");
  EXPECT_EQ(OwnerOf(prefix + "vortanclient.ovpn"), user_.Uid());
  EXPECT_EQ(OwnerOf(prefix + "_stunnel.conf"), user_.Uid());

  // The configuration OpenVPN reads names root-only copies of the client's files, and
  // only root can change them.
  const std::string generated = test::ReadFile(prefix + "vortanclient.ovpn");
  ASSERT_NE(generated.find("\nca x_ca.crt"), std::string::npos) << generated;
  const std::string privateConfig = test::ReadFile(PrivateCopy("vortanclient.ovpn"));
  for (const std::string option : {"ca", "cert", "key"}) {
    EXPECT_NE(privateConfig.find("\n" + option + " \"" + PrivateCopy(option) + "\""), std::string::npos)
        << privateConfig;
  }
  EXPECT_EQ(privateConfig.find("x_c"), std::string::npos) << privateConfig;
  EXPECT_EQ(test::ReadFile(PrivateCopy("key")), "content of client.key\n");
  struct stat info {};
  ASSERT_EQ(stat((layout_.Root() + "/run").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, 0u);
  // OpenVPN was launched on the copy in the root-only directory (it may have ended
  // already: no real certificates here).
  EXPECT_NE(layout_.LogText().find("cmdLine[ --config \"" + PrivateCopy("vortanclient.ovpn") + "\"]"),
            std::string::npos)
      << layout_.LogText();

  // Rewriting the client's files afterwards changes nothing OpenVPN reads.
  test::WriteFile(prefix + "vortanclient.ovpn", "script-security 2\nup /bin/sh\n");
  test::WriteFile(prefix + "client.key", "other key\n");
  EXPECT_EQ(test::ReadFile(PrivateCopy("vortanclient.ovpn")), privateConfig);
  EXPECT_EQ(test::ReadFile(PrivateCopy("key")), "content of client.key\n");
}

// The words of a proxy that would make root's OpenVPN send /etc/shadow, and other words
// that would add parameters to a configuration line: refused, nothing written.
TEST_F(StartAsUserTest, WordsOfTheWrongKindAreRefusedWithNothingWritten) {
  StartService();
  const std::string prefix = user_.Home() + "/h_";
  DepositClientFiles(prefix);
  for (const std::string& request :
       {"start 203.0.113.10 1194 " + prefix + " tap0 tcp netsh 127.0.0.1 \"8081 /etc/shadow basic\" u p none",
        "start 203.0.113.10 1194 " + prefix + " tap0 tcp netsh 127.0.0.1 8081 u p \"basic /etc/shadow\"",
        "start \"203.0.113.10 1194\" 1194 " + prefix + " tap0 udp adaptive",
        "start 203.0.113.10 1194 " + prefix + " \"tap0 --up\" udp adaptive",
        "start 203.0.113.10 1194 " + user_.Home() + "/#h_ tap0 udp adaptive"}) {
    SCOPED_TRACE(request);
    EXPECT_TRUE(std::regex_match(AskAsUser(request),
                                 std::regex("ERROR \\| 0 \\| [0-9T:]{17} \\| Dashlet sent wrong request arguments "
                                            "\\(code 0\\)")));
  }
  EXPECT_FALSE(test::FileExists(prefix + "vortanclient.ovpn"));
  EXPECT_FALSE(test::FileExists(prefix + "_stunnel.conf"));
  EXPECT_FALSE(test::FileExists(PrivateCopy("vortanclient.ovpn")));
  EXPECT_EQ(layout_.LogText().find("process launched"), std::string::npos);
}

// A link to a root-only key and a FIFO as the CA certificate: the start is refused
// before anything is launched, no key the user could not read reaches OpenVPN, and the
// next tunnel, of another user, starts.
TEST_F(StartAsUserTest, FilesTheUserCannotReadRefuseTheStart) {
  StartService();
  const std::string secret = "/tmp/" + test::UniqueName("rootkey");
  test::WriteFile(secret, "root's own key\n");
  chmod(secret.c_str(), 0600);
  const std::string linked = user_.Home() + "/l_";
  DepositClientFiles(linked);
  unlink((linked + "client.key").c_str());
  fs::create_symlink(secret, linked + "client.key");
  const std::string fifo = user_.Home() + "/f_";
  DepositClientFiles(fifo);
  unlink((fifo + "ca.crt").c_str());
  ASSERT_EQ(mkfifo((fifo + "ca.crt").c_str(), 0666), 0);

  const std::string pattern = "ERROR \\| 0 \\| [0-9T:]{17} \\| Cannot read file : ";
  EXPECT_TRUE(std::regex_match(AskAsUser(StartWords(linked)), std::regex(pattern + linked + "client\\.key \\(code 0\\)")));
  EXPECT_FALSE(test::FileExists(PrivateCopy("key")));
  EXPECT_TRUE(std::regex_match(AskAsUser(StartWords(fifo)), std::regex(pattern + fifo + "ca\\.crt \\(code 0\\)")));
  EXPECT_EQ(layout_.LogText().find("process launched"), std::string::npos);

  // Root's own tunnel: OpenVPN opens its management interface and talks to the client.
  const std::string rootPrefix = layout_.Root() + "/r_";
  DepositClientFiles(rootPrefix);
  auto client = ns_.Connect(endpoint_);
  client->ReadLine();
  ASSERT_EQ(client->Ask(StartWords(rootPrefix)), "OK");
  EXPECT_NE(client->ReadText(std::chrono::seconds(10)).find("> INFO: OpenVPN Management Interface"), std::string::npos);
  unlink(secret.c_str());
}

// A stunnel template that names a file at the client's prefix: stunnel too reads only a
// root-only copy of what the user could read.
TEST_F(StartAsUserTest, StunnelReadsRootOnlyCopiesOfTheFilesItIsGiven) {
  layout_.WriteConf("stunnel.conf", test::ReadFile(layout_.Conf() + "/stunnel.conf") +
                                        "CAfile = %CFG_FILE_PREFIX%stunnel-ca.pem\n");
  StartService();
  const std::string secret = "/tmp/" + test::UniqueName("rootca");
  test::WriteFile(secret, "root's own\n");
  chmod(secret.c_str(), 0600);
  const std::string prefix = user_.Home() + "/q_";
  DepositClientFiles(prefix);
  fs::create_symlink(secret, prefix + "stunnel-ca.pem");
  const std::string request = "start 192.0.2.1 1194 " + prefix + " " + test::UniqueName("vt") + " qbr adaptive";
  EXPECT_TRUE(std::regex_match(AskAsUser(request),
                               std::regex("ERROR \\| 0 \\| [0-9T:]{17} \\| Cannot read file : " + prefix +
                                          "stunnel-ca\\.pem \\(code 0\\)")));
  EXPECT_FALSE(test::FileExists(PrivateCopy("stunnel-cafile")));

  unlink((prefix + "stunnel-ca.pem").c_str());
  test::WriteFile(prefix + "stunnel-ca.pem", "the user's CA\n");
  ASSERT_EQ(AskAsUser(request), "OK");
  EXPECT_NE(test::ReadFile(PrivateCopy("stunnel.conf")).find("CAfile = " + PrivateCopy("stunnel-cafile") + "\r"),
            std::string::npos);
  EXPECT_EQ(test::ReadFile(PrivateCopy("stunnel-cafile")), "the user's CA\n");
  unlink(secret.c_str());
}

// A process of another user, working and rooted in a folder only that user can reach.
pid_t StartProcessOf(const test::TestUser& user, const std::string& directory) {
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(directory.c_str()) != 0 || chroot(".") != 0 || setgroups(0, nullptr) != 0 || setgid(user.Gid()) != 0 ||
        setuid(user.Uid()) != 0) {
      _exit(1);
    }
    for (;;) pause();
  }
  return child;
}

// The descriptor number under which a process holds a file open; -1 when it does not.
int DescriptorOf(pid_t pid, const std::string& path) {
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == path) return std::stoi(entry.path().filename().string());
  }
  return -1;
}

// /proc's links to processes' directories and descriptors, which the kernel follows past
// the folders a user cannot enter, while the service holds every capability.
TEST_F(StartAsUserTest, ProcLinksReachNoFurtherThanTheUser) {
  test::TestUser other;
  ASSERT_TRUE(other.Created());
  const std::string work = other.Home() + "/work";
  fs::create_directories(work);
  other.DepositClientFiles(work + "/");
  ASSERT_EQ(chmod(other.Home().c_str(), 0700), 0);
  const pid_t otherProcess = StartProcessOf(other, work);
  ASSERT_GT(otherProcess, 0);
  // The service works in its conf folder, which the user cannot reach by its path.
  StartService({"env", "--chdir=" + layout_.Conf()});
  ASSERT_EQ(chmod(layout_.Root().c_str(), 0700), 0);
  const int logDescriptor = DescriptorOf(service_->Pid(), layout_.Logs() + "/vortanVpnService.log");
  ASSERT_GE(logDescriptor, 0);

  const std::string processDir = "/proc/" + std::to_string(otherProcess);
  for (const std::string& target : {processDir + "/cwd/ca.crt", processDir + "/root/ca.crt",
                                    std::string("/proc/self/cwd/VortanVpnService.ini"),
                                    "/proc/self/fd/" + std::to_string(logDescriptor)}) {
    SCOPED_TRACE(target);
    const std::string prefix = user_.Home() + "/" + test::UniqueName("p") + "_";
    DepositClientFiles(prefix);
    unlink((prefix + "ca.crt").c_str());
    fs::create_symlink(target, prefix + "ca.crt");
    EXPECT_TRUE(std::regex_match(AskAsUser(StartWords(prefix)),
                                 std::regex("ERROR \\| 0 \\| [0-9T:]{17} \\| Cannot read file : " + prefix +
                                            "ca\\.crt \\(code 0\\)")));
    EXPECT_TRUE(RunHoldsNoCopyIn(layout_.Root() + "/run"));
  }
  kill(otherProcess, SIGKILL);
  waitpid(otherProcess, nullptr, 0);
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
  // A tunnel whose OpenVPN holds at its channel keeps its copies.
  fs::remove(layout_.Bin() + "/openvpn");
  test::WriteFile(layout_.Bin() + "/openvpn", test::OpenVpnStandInScript());
  fs::permissions(layout_.Bin() + "/openvpn", fs::perms::owner_all);
  StartService();
  const std::string prefix = user_.Home() + "/z_";
  DepositClientFiles(prefix);
  ASSERT_EQ(AskAsUser(StartWords(prefix, " 127.0.0.1 3128 someone pa55word basic")), "OK");
  const std::string privateConfig = test::ReadFile(PrivateCopy("vortanclient.ovpn"));
  EXPECT_NE(privateConfig.find("\"" + PrivateCopy("auth.txt") + "\" basic"), std::string::npos) << privateConfig;
  EXPECT_EQ(privateConfig.find(prefix + "auth.txt"), std::string::npos);
  EXPECT_EQ(test::ReadFile(PrivateCopy("auth.txt")), "someone\r\npa55word\r\n");
  struct stat info {};
  ASSERT_EQ(stat(PrivateCopy("auth.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // The copies go with their tunnel.
  auto root = ns_.Connect(endpoint_);
  root->ReadLine();
  EXPECT_EQ(root->Ask("shutdown"), "OK");
  for (const char* name : {"auth.txt", "vortanclient.ovpn", "ca", "cert", "key"}) {
    EXPECT_FALSE(test::FileExists(PrivateCopy(name))) << name;
  }
}

}  // namespace
}  // namespace vortan
