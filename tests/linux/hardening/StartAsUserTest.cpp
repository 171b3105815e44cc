// "start" from an unprivileged local user: files at the prefix are written with that
// user's rights, OpenVPN and stunnel read root-only copies, and links planted by the
// user are not followed by root.
#include <gmock/gmock.h>
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
using ::testing::HasSubstr;
using ::testing::Not;

// The service in a namespace of its own, with templates and program links installed.
class StartAsUserTest : public test::ServiceInNamespaceTest {
 protected:
  StartAsUserTest() : ServiceInNamespaceTest("vth") {}
  void SetUp() override {
    ASSERT_TRUE(user_.Created());
    fs::create_symlink("/usr/sbin/openvpn", layout_.Bin() + "/openvpn");
    fs::create_directories(layout_.Bin() + "/stunnel");
    fs::create_symlink("/usr/bin/stunnel4", layout_.Bin() + "/stunnel/stunnel");
  }
  void TearDown() override {
    ServiceInNamespaceTest::TearDown();
    for (const std::string& path : rootFiles_) unlink(path.c_str());
  }
  // Sends one request as the test user from inside the namespace; returns the reply.
  std::string AskAsUser(const std::string& request) { return AskAs(user_, request); }
  std::string StartWords(const std::string& prefix, const std::string& rest = "udp adaptive") const {
    return "start 192.0.2.1 1194 " + prefix + " " + test::UniqueName("vt") + " " + rest;
  }
  // The client's files (present, owned by the user, unusable to OpenVPN, which these
  // tests do not need) with the one called name replaced by a link to target.
  void DepositWithLink(const std::string& prefix, const std::string& name, const std::string& target) const {
    user_.DepositClientFiles(prefix);
    unlink((prefix + name).c_str());
    fs::create_symlink(target, prefix + name);
  }
  // A file in /tmp that only root may read; removed with the fixture.
  std::string RootOnlyFile(const std::string& stem, const std::string& content) {
    rootFiles_.push_back("/tmp/" + test::UniqueName(stem));
    test::WriteFile(rootFiles_.back(), content);
    chmod(rootFiles_.back().c_str(), 0600);
    return rootFiles_.back();
  }
  // The user's tunnel at prefix, with a proxy; OpenVPN a stand-in that holds at its
  // channel, so that the tunnel keeps its copies.
  void StartOwnTunnel(const std::string& prefix) {
    InstallProgram("openvpn", test::OpenVpnStandInScript());
    StartService();
    user_.DepositClientFiles(prefix);
    ASSERT_EQ(AskAsUser(StartWords(prefix, "udp adaptive 127.0.0.1 3128 someone pa55word basic")), "OK");
  }
  // As the service names it: beside its executable's directory.
  std::string PrivateCopy(const std::string& name) const { return layout_.Bin() + "/../run/" + name; }
  // The start is refused with error (the reply's text) and no root-only copy is left.
  void ExpectRefused(const std::string& request, const std::string& error) {
    SCOPED_TRACE(request);
    const std::string reply = AskAsUser(request);
    EXPECT_TRUE(std::regex_match(reply, std::regex("ERROR \\| 0 \\| [0-9T:]{17} \\| " + Escaped(error) +
                                                   " \\(code 0\\)")))
        << reply;
    EXPECT_TRUE(RunHoldsNoCopyIn(layout_.Root() + "/run"));
  }
  static std::string Escaped(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), "\\$&");
  }
  // The service keeps its instance lock and its record of children in run/; anything
  // else there is a copy made for a start.
  static bool RunHoldsNoCopyIn(const std::string& run) {
    if (!fs::exists(run)) return true;
    for (const fs::directory_entry& entry : fs::directory_iterator(run)) {
      const std::string name = entry.path().filename().string();
      if (name != ".instance.lock" && name != "children.txt") return false;
    }
    return true;
  }

  test::TestUser user_;
  std::vector<std::string> rootFiles_;
};

const char* const kWrongArguments = "Dashlet sent wrong request arguments";

uid_t OwnerOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : static_cast<mode_t>(-1);
}

// A process of another user, working and rooted in a folder only that user can reach.
pid_t StartProcessOf(const test::TestUser& user, const std::string& directory) {
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(directory.c_str()) != 0 || chroot(".") != 0 || setgroups(0, nullptr) != 0 ||
        setgid(user.Gid()) != 0 || setuid(user.Uid()) != 0) {
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

// Starts that would have root write where the user cannot, read what the user cannot
// (also through /proc's links to processes' directories and descriptors, which the
// kernel follows past the folders a user cannot enter, while the service holds every
// capability), or put more parameters on a configuration line: each refused before
// anything is launched or copied for root, and the next tunnel, of another user, starts.
TEST_F(StartAsUserTest, RefusedStartsWriteAndLaunchNothing) {
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
  const std::string rootDir = "/tmp/" + test::UniqueName("rootdir");
  ASSERT_EQ(mkdir(rootDir.c_str(), 0755), 0);
  // The words of a proxy that would make root's OpenVPN send /etc/shadow, and other
  // words that would add parameters to a configuration line.
  const std::string words = user_.Home() + "/h_";
  user_.DepositClientFiles(words);
  const std::string wordsStart = "start 203.0.113.10 1194 " + words + " tap0 ";
  // A link to a root-only key, a FIFO as the CA certificate.
  const std::string linked = user_.Home() + "/l_";
  DepositWithLink(linked, "client.key", RootOnlyFile("rootkey", "root's own key\n"));
  const std::string fifo = user_.Home() + "/f_";
  user_.DepositClientFiles(fifo);
  unlink((fifo + "ca.crt").c_str());
  ASSERT_EQ(mkfifo((fifo + "ca.crt").c_str(), 0666), 0);
  // Links to a root-only file where the service writes the client's files.
  const std::string secret = RootOnlyFile("secret", "root:only\n");
  for (const char* name : {"y_auth.txt", "y_vortanclient.ovpn", "OpenVpnLog.txt"}) {
    fs::create_symlink(secret, user_.Home() + "/" + name);
    lchown((user_.Home() + "/" + name).c_str(), user_.Uid(), user_.Gid());
  }
  const std::string planted = user_.Home() + "/y_";

  struct Row {
    std::string request;
    std::string error;
  };
  std::vector<Row> rows = {
      {StartWords(rootDir + "/x_"), "Cannot write file : " + rootDir + "/x__stunnel.conf"},
      {wordsStart + "tcp netsh 127.0.0.1 \"8081 /etc/shadow basic\" u p none", kWrongArguments},
      {wordsStart + "tcp netsh 127.0.0.1 8081 u p \"basic /etc/shadow\"", kWrongArguments},
      {"start \"203.0.113.10 1194\" 1194 " + words + " tap0 udp adaptive", kWrongArguments},
      {"start 203.0.113.10 1194 " + words + " \"tap0 --up\" udp adaptive", kWrongArguments},
      {"start 203.0.113.10 1194 " + user_.Home() + "/#h_ tap0 udp adaptive", kWrongArguments},
      {StartWords(linked), "Cannot read file : " + linked + "client.key"},
      {StartWords(fifo), "Cannot read file : " + fifo + "ca.crt"},
      {StartWords(planted, "udp adaptive 127.0.0.1 3128 someone pa55word basic"),
       "Cannot write file : " + planted + "vortanclient.ovpn"},
  };
  const std::string processDir = "/proc/" + std::to_string(otherProcess);
  for (const std::string& target : {processDir + "/cwd/ca.crt", processDir + "/root/ca.crt",
                                    std::string("/proc/self/cwd/VortanVpnService.ini"),
                                    "/proc/self/fd/" + std::to_string(logDescriptor)}) {
    const std::string prefix = user_.Home() + "/" + test::UniqueName("p") + "_";
    DepositWithLink(prefix, "ca.crt", target);
    rows.push_back({StartWords(prefix), "Cannot read file : " + prefix + "ca.crt"});
  }
  for (const Row& row : rows) ExpectRefused(row.request, row.error);
  kill(otherProcess, SIGKILL);
  waitpid(otherProcess, nullptr, 0);
  EXPECT_TRUE(fs::is_empty(rootDir));
  EXPECT_FALSE(test::FileExists(words + "vortanclient.ovpn"));
  EXPECT_FALSE(test::FileExists(words + "_stunnel.conf"));
  EXPECT_EQ(test::ReadFile(secret), "root:only\n");
  EXPECT_EQ(layout_.LogText().find("process launched"), std::string::npos);
  fs::remove_all(rootDir);

  // Root's own tunnel: OpenVPN opens its management interface and talks to the client.
  const std::string rootPrefix = layout_.Root() + "/r_";
  user_.DepositClientFiles(rootPrefix);
  auto client = Connect();
  ASSERT_EQ(client->Ask(StartWords(rootPrefix)), "OK");
  EXPECT_THAT(client->ReadText(), HasSubstr("> INFO: OpenVPN Management Interface"));
}

// A stunnel template that names a file at the client's prefix: stunnel too reads only a
// root-only copy of what the user could read.
TEST_F(StartAsUserTest, StunnelReadsRootOnlyCopiesOfTheFilesItIsGiven) {
  layout_.WriteConf("stunnel.conf", test::ReadFile(layout_.Conf() + "/stunnel.conf") +
                                        "CAfile = %CFG_FILE_PREFIX%stunnel-ca.pem\n");
  StartService();
  const std::string prefix = user_.Home() + "/q_";
  DepositWithLink(prefix, "stunnel-ca.pem", RootOnlyFile("rootca", "root's own\n"));
  const std::string request = StartWords(prefix, "qbr adaptive");
  ExpectRefused(request, "Cannot read file : " + prefix + "stunnel-ca.pem");

  unlink((prefix + "stunnel-ca.pem").c_str());
  test::WriteFile(prefix + "stunnel-ca.pem", "the user's CA\n");
  ASSERT_EQ(AskAsUser(request), "OK");
  EXPECT_THAT(test::ReadFile(PrivateCopy("stunnel.conf")),
              HasSubstr("CAfile = " + PrivateCopy("stunnel-cafile") + "\r"));
  EXPECT_EQ(test::ReadFile(PrivateCopy("stunnel-cafile")), "the user's CA\n");
}

TEST_F(StartAsUserTest, OwnPrefixWorksAndOpenVpnReadsRootOnlyCopies) {
  const std::string prefix = user_.Home() + "/x_";
  ASSERT_NO_FATAL_FAILURE(StartOwnTunnel(prefix));
  EXPECT_EQ(OwnerOf(prefix + "vortanclient.ovpn"), user_.Uid());
  EXPECT_EQ(OwnerOf(prefix + "_stunnel.conf"), user_.Uid());

  // The configuration OpenVPN reads names root-only copies of the client's files, and
  // only root can change them.
  const std::string generated = test::ReadFile(prefix + "vortanclient.ovpn");
  ASSERT_THAT(generated, HasSubstr("\nca x_ca.crt"));
  const std::string privateConfigPath = PrivateCopy("vortanclient.ovpn");
  const std::string privateConfig = test::ReadFile(privateConfigPath);
  for (const std::string option : {"ca", "cert", "key"}) {
    EXPECT_THAT(privateConfig, HasSubstr("\n" + option + " \"" + PrivateCopy(option) + "\""));
  }
  EXPECT_THAT(privateConfig, Not(HasSubstr("x_c")));
  EXPECT_EQ(test::ReadFile(PrivateCopy("key")), "content of client.key\n");
  EXPECT_EQ(ModeOf(layout_.Root() + "/run"), 0700u);
  EXPECT_EQ(OwnerOf(layout_.Root() + "/run"), 0u);
  // OpenVPN was launched on the copy in the root-only directory.
  EXPECT_THAT(layout_.LogText(), HasSubstr("cmdLine[ --config \"" + privateConfigPath + "\"]"));

  // Rewriting the client's files afterwards changes nothing OpenVPN reads.
  test::WriteFile(prefix + "vortanclient.ovpn", "script-security 2\nup /bin/sh\n");
  test::WriteFile(prefix + "client.key", "other key\n");
  EXPECT_EQ(test::ReadFile(privateConfigPath), privateConfig);
  EXPECT_EQ(test::ReadFile(PrivateCopy("key")), "content of client.key\n");
}

TEST_F(StartAsUserTest, RootOnlyCopiesCarryTheCredentialsAndNoClientPath) {
  const std::string prefix = user_.Home() + "/z_";
  ASSERT_NO_FATAL_FAILURE(StartOwnTunnel(prefix));
  const std::string privateConfig = test::ReadFile(PrivateCopy("vortanclient.ovpn"));
  EXPECT_THAT(privateConfig, HasSubstr("\"" + PrivateCopy("auth.txt") + "\" basic"));
  EXPECT_THAT(privateConfig, Not(HasSubstr(prefix + "auth.txt")));
  EXPECT_EQ(test::ReadFile(PrivateCopy("auth.txt")), "someone\r\npa55word\r\n");
  EXPECT_EQ(ModeOf(PrivateCopy("auth.txt")), 0600u);
  // The copies go with their tunnel.
  EXPECT_EQ(Connect()->Ask("shutdown"), "OK");
  for (const char* name : {"auth.txt", "vortanclient.ovpn", "ca", "cert", "key"}) {
    EXPECT_FALSE(test::FileExists(PrivateCopy(name))) << name;
  }
}

}  // namespace
}  // namespace vortan
