#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "tunnel/ConfigManager.h"
#include "common/FileWriter.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "tunnel/OpenVpnConfigManager.h"
#include "tunnel/OpenVpnFileReferences.h"
#include "common/Paths.h"
#include "tunnel/STunnelConfigManager.h"
#include "tunnel/StunnelFileReferences.h"
#include "tunnel/TunnelFileCopies.h"
#include "TestSupport.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;

const char* const kBom = "\xEF\xBB\xBF";

// The bytes of a generated file whose template held these lines and ended in a line feed:
// each template line ends in CR CR LF, and the final line feed adds one empty line.
std::string Golden(std::initializer_list<std::string> lines) {
  std::string bytes = kBom;
  for (const auto& line : lines) bytes += line + "\r\r\n";
  return bytes + "\r\r\n";
}

// The bytes of a generated file whose template was this one line without a line end.
std::string OneLine(const std::string& line) { return kBom + line + "\r\r\n"; }

std::string Template(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

const std::uint32_t kManagementAddress = HostToNet(0x7F040506);  // 127.4.5.6

// Writes with the test's own rights.
FileWriter AsService() { return FileWriter(platform::ServiceIdentity()); }

// A private tree <root>/bin (the current directory), <root>/conf (templates found through
// the relative fallback), <root>/data (the client's directory). Removed afterwards.
class ConfigGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    ASSERT_FALSE(test::FileExists(ResolveBesideExecutable("../conf/VortanClient.ovpn")))
        << "a template beside the test executable would hide the test's own templates";
    previousDirectory_ = fs::current_path();
    root_ = fs::temp_directory_path() / test::UniqueName("vcfg");
    for (const char* dir : {"bin", "conf", "data"}) fs::create_directories(root_ / dir);
    fs::current_path(root_ / "bin");
  }
  void TearDown() override {
    if (previousDirectory_.empty()) return;  // SetUp stopped before it changed anything
    fs::current_path(previousDirectory_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void WriteTemplate(const std::string& name, const std::string& text) const {
    test::WriteFile((root_ / "conf" / name).string(), text);
  }
  std::string Data(const std::string& name) const { return (root_ / "data" / name).string(); }

  static OpenVpnConfigManager OpenVpn(const std::string& words, bool direct = true) {
    return OpenVpnConfigManager(RequestParser(words), kManagementAddress, 3007, direct, AsService());
  }
  static STunnelConfigManager STunnel(const std::string& words) {
    return STunnelConfigManager(RequestParser(words), kManagementAddress, 5555, AsService());
  }

  // The bytes generated from a direct-mode template for the request's words.
  std::string RenderOpenVpn(const std::string& templateText, const std::string& words) {
    WriteTemplate("VortanClient.ovpn", templateText);
    return test::ReadFile(OpenVpn(words).GetConfigFilePath());
  }

  fs::path previousDirectory_;
  fs::path root_;
};

TEST_F(ConfigGeneratorTest, WorkedExampleGivesExactBytes) {
  WriteTemplate("VortanClient.ovpn",
                Template({"remote %VORTANHOSTNAME% %VORTANPORT%", "proto %PROTOCOL%", "%EXITNOTIFY%",
                          "management %MGMT_HOST% %MGMT_PORT%", "ca %CFG_FILE_PREFIX%ca.crt", "dev %DEV%",
                          "verb %VERB%", "log %LOG%", "%IPWIN32%", "%PROXY%"}));
  const OpenVpnConfigManager generator = OpenVpn("gw1 1194 " + Data("x_") + " tap0 UDP adaptive");

  const std::string expected =
      Golden({"remote gw1 1194", "proto udp", "explicit-exit-notify", "management 127.4.5.6 3007", "ca x_ca.crt",
              "dev tap0", "verb 3", "log OpenVpnLog.txt", "--ip-win32 adaptive\r\ndhcp-renew\r\ndhcp-release", ""});
  EXPECT_EQ(generator.GetConfigFilePath(), Data("x_vortanclient.ovpn"));
  EXPECT_EQ(test::ReadFile(Data("x_vortanclient.ovpn")), expected);
  EXPECT_EQ(generator.GetConfigText(), expected);
  EXPECT_EQ(generator.GetAuthFilePath(), "");
  EXPECT_FALSE(test::FileExists(Data("x_auth.txt")));
}

TEST_F(ConfigGeneratorTest, StunnelModeReadsItsOwnTemplate) {
  WriteTemplate("VortanClient.ovpn", "direct %VORTANPORT%");
  WriteTemplate("VortanClientStunnel.ovpn", "via stunnel %VORTANPORT%");
  EXPECT_EQ(OpenVpn("127.0.0.1 5555 " + Data("x_") + " tap0 tcp adaptive", false).GetConfigText(),
            OneLine("via stunnel 5555"));
}

// The protocol word chooses the protocol and the exit notification; the ip-win32 mode
// word is compared exactly. Placeholders are replaced everywhere in one pass.
TEST_F(ConfigGeneratorTest, RequestWordsFillTheTemplate) {
  const char* const kProtocol = "%PROTOCOL%|%EXITNOTIFY%";
  const char* const kIpWin32 = "%IPWIN32%";
  const char* const kUdp = "udp|explicit-exit-notify";
  const struct {
    const char* templateText;
    const char* protocol;
    const char* mode;
    const char* rendered;
    const char* device = "tap0";
    std::string remote = "gw1 1194 ";
  } cases[] = {
      {kProtocol, "udp", "a", kUdp},     {kProtocol, "UDP4", "a", kUdp},         {kProtocol, "xUdPx", "a", kUdp},
      {kProtocol, "tcp", "a", "tcp|"},   {kProtocol, "tcp-client", "a", "tcp|"}, {kProtocol, "qbr", "a", "tcp|"},
      {kIpWin32, "udp", "adaptive", "--ip-win32 adaptive\r\ndhcp-renew\r\ndhcp-release"},
      {kIpWin32, "udp", "dynamic", "--ip-win32 dynamic\r\ndhcp-renew\r\ndhcp-release"},
      {kIpWin32, "udp", "winapi", "--ip-win32 ipapi"},     {kIpWin32, "udp", "Adaptive", "--ip-win32 netsh"},
      {kIpWin32, "udp", "DYNAMIC", "--ip-win32 netsh"},    {kIpWin32, "udp", "netsh", "--ip-win32 netsh"},
      {kIpWin32, "udp", "\"\"", "--ip-win32 netsh"},
      // A value holding a later or an earlier placeholder stays as it is.
      {"%VORTANHOSTNAME% %VORTANPORT% %VORTANPORT% %VORTANPORT%", "udp", "adaptive",
       "%VORTANPORT% 1194 1194 1194", "tap0", "%VORTANPORT% 1194 "},
      {"%DEV%", "udp", "adaptive", "%VORTANHOSTNAME%", "%VORTANHOSTNAME%"},
      {"", "udp", "adaptive", ""},  // an empty template
  };
  for (const auto& testCase : cases) {
    const std::string words =
        testCase.remote + Data("x_") + " " + testCase.device + " " + testCase.protocol + " " + testCase.mode;
    EXPECT_EQ(RenderOpenVpn(testCase.templateText, words), OneLine(testCase.rendered)) << words;
  }
}

TEST_F(ConfigGeneratorTest, PrefixWithoutSeparatorWritesIntoTheCurrentDirectory) {
  WriteTemplate("VortanClient.ovpn", "ca %CFG_FILE_PREFIX%ca.crt");
  EXPECT_EQ(OpenVpn("gw1 1194 x_ tap0 udp adaptive").GetConfigFilePath(), "x_vortanclient.ovpn");
  EXPECT_EQ(test::ReadFile((root_ / "bin" / "x_vortanclient.ovpn").string()), OneLine("ca x_ca.crt"));
}

TEST_F(ConfigGeneratorTest, MissingTemplate) {
  OpenVpn("gw1 1194 " + Data("y_") + " tap0 udp adaptive", false);
  EXPECT_TRUE(test::FileExists(Data("y_vortanclient.ovpn")));
  EXPECT_EQ(test::ReadFile(Data("y_vortanclient.ovpn")), "");
}

TEST_F(ConfigGeneratorTest, UnwritableOutputIsReportedWithItsPath) {
  WriteTemplate("VortanClient.ovpn", "x");
  WriteTemplate("stunnel.conf", "x");
  ASSERT_EQ(mkfifo(Data("f_vortanclient.ovpn").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Data("f__stunnel.conf").c_str(), 0600), 0);
  for (const std::string& prefix : {Data("missing/x_"), Data("f_")}) {
    const std::string words = "gw1 1194 " + prefix + " tap0 udp adaptive";
    EXPECT_EQ(test::ErrorOf<std::runtime_error>([&] { OpenVpn(words); }),
              "Cannot write file : " + prefix + "vortanclient.ovpn");
    EXPECT_EQ(test::ErrorOf<std::runtime_error>([&] { STunnel(words); }),
              "Cannot write file : " + prefix + "_stunnel.conf");
  }
}

TEST_F(ConfigGeneratorTest, ProxyWithoutCredentials) {
  for (const char* method : {"none", "nonea"}) {
    WriteTemplate("VortanClient.ovpn", "%PROXY%");
    const OpenVpnConfigManager generator =
        OpenVpn("gw1 443 " + Data("x_") + " tap0 tcp adaptive proxy1 8080 alice pw " + method);
    EXPECT_EQ(generator.GetConfigText(), OneLine("http-proxy proxy1 8080")) << method;
    EXPECT_EQ(generator.GetAuthFilePath(), "");
    EXPECT_FALSE(test::FileExists(Data("x_auth.txt")));
  }
}

TEST_F(ConfigGeneratorTest, ProxyWithCredentialsWritesAPrivateFileWithoutByteOrderMark) {
  const std::string prefix = Data("a\\b_");
  const std::string authPath = prefix + "auth.txt";
  test::WriteFile(authPath, "old content that is longer than the new one");
  ASSERT_EQ(chmod(authPath.c_str(), 0644), 0);

  WriteTemplate("VortanClient.ovpn", Template({"ca %CFG_FILE_PREFIX%ca.crt", "%PROXY%"}));
  const OpenVpnConfigManager generator =
      OpenVpn("gw1 443 " + prefix + " tap0 tcp adaptive proxy1 8080 alice s3cret ntlm");

  const std::string escapedAuthPath = (root_ / "data").string() + "/a\\\\b_auth.txt";
  EXPECT_EQ(generator.GetConfigText(),
            Golden({"ca a\\\\b_ca.crt", "http-proxy proxy1 8080 \"" + escapedAuthPath + "\" ntlm"}));
  EXPECT_EQ(generator.GetAuthFilePath(), authPath);
  EXPECT_EQ(test::ReadFile(authPath), "alice\r\ns3cret\r\n");
  EXPECT_EQ(ModeOf(authPath), 0600u);

  const std::string fresh = OpenVpnConfigManager::WriteAuthFile(AsService(), Data("n_"), "bob", "pw");
  EXPECT_EQ(fresh, Data("n_auth.txt"));
  EXPECT_EQ(test::ReadFile(fresh), "bob\r\npw\r\n");
  EXPECT_EQ(ModeOf(fresh), 0600u);
}

class STunnelGeneratorTest : public ConfigGeneratorTest {
 protected:
  std::string Render(const std::string& words) {
    WriteTemplate("stunnel.conf", Template({"accept = %LOCAL_IP%:%LOCAL_PORT%", "connect = %VORTANHOSTNAME%:%VORTANPORT%",
                                            "debug = %VERB%", "output = %LOG%", "files = %CFG_FILE_PREFIX%",
                                            "%PROXY%"}));
    const STunnelConfigManager generator = STunnel(words);
    EXPECT_EQ(generator.GetConfigFilePath(), Data("w\\x__stunnel.conf"));
    EXPECT_EQ(ModeOf(generator.GetConfigFilePath()), 0600u);
    const std::string written = test::ReadFile(generator.GetConfigFilePath());
    EXPECT_EQ(written, generator.GetConfigText());
    return written;
  }
  // Its files line writes it as it is: on this system a backslash is part of a name.
  std::string Prefix() const { return Data("w\\x_"); }
};

TEST_F(STunnelGeneratorTest, ProxyWordsChooseWhereStunnelConnects) {
  const struct {
    const char* proxyWords;
    const char* connect;
    const char* proxyLines;
  } cases[] = {
      {"", "gw1:443", ""},
      {" proxy1 8080 alice s3cret basic", "proxy1:8080",
       "protocol = connect\r\r\nprotocolAuthentication = basic\r\r\nprotocolHost = gw1:443\r\r\n"
       "protocolPassword = s3cret\r\r\nprotocolUsername = alice"},
      {" proxy1 8080 alice s3cret none", "proxy1:8080", "protocol = connect\r\r\nprotocolHost = gw1:443"},
      {" proxy1 8080 alice s3cret nonea", "proxy1:8080", "protocol = connect\r\r\nprotocolHost = gw1:443"},
  };
  for (const auto& testCase : cases) {
    // A file there before, readable by all, is replaced by one of the owner's only.
    test::WriteFile(Prefix() + "_stunnel.conf", "old");
    ASSERT_EQ(chmod((Prefix() + "_stunnel.conf").c_str(), 0666), 0);
    EXPECT_EQ(Render("gw1 443 " + Prefix() + " tap0 tcp adaptive" + testCase.proxyWords),
              Golden({"accept = 127.4.5.6:5555", std::string("connect = ") + testCase.connect, "debug = 7",
                      "output = ../../logs/stunnelLog.txt", "files = " + Prefix(), testCase.proxyLines}))
        << testCase.proxyWords;
  }
}

TEST_F(STunnelGeneratorTest, RequestWordsAreNeverFilledAgain) {
  for (const char* password : {"%LOCAL_PORT%", "%LOCAL_IP%", "%CFG_FILE_PREFIX%"}) {
    EXPECT_NE(Render("gw1 443 " + Prefix() + " tap0 qbr adaptive proxy1 8080 %LOCAL_IP% " + password + " basic")
                  .find("protocolPassword = " + std::string(password) + "\r\r\nprotocolUsername = %LOCAL_IP%"),
              std::string::npos)
        << password;
  }
  // An HTTP CONNECT names a literal IPv6 server in brackets.
  EXPECT_NE(Render("2001:db8::5 443 " + Prefix() + " tap0 qbr adaptive proxy1 8080 - - none")
                .find("protocolHost = [2001:db8::5]:443"),
            std::string::npos);
}

// A prefix with blanks, quotes and backslashes in its folders: the client's copy names
// the credentials in quotes, and the private copies read back as the service's files.
TEST_F(ConfigGeneratorTest, PrivateCopiesStayWellFormedForAnyFolder) {
  fs::create_directories(root_ / "data" / "Joe's a\\b #1");
  const std::string prefix = Data("Joe's a\\b #1/x_");
  test::WriteFile(prefix + "ca.crt", "CA");
  WriteTemplate("VortanClient.ovpn", Template({"ca %CFG_FILE_PREFIX%ca.crt", "%PROXY%"}));
  const RequestParser request("gw1 443 \"" + prefix + "\" tap0 tcp adaptive proxy1 8080 alice \"s3 \" Basic");
  OpenVpnConfigManager generator(request, kManagementAddress, 3007, true, AsService());
  const std::string quotedAuth = "\"" + (root_ / "data").string() + "/Joe's a\\\\b #1/x_auth.txt\"";
  EXPECT_EQ(generator.GetConfigText(), Golden({"ca x_ca.crt", "http-proxy proxy1 8080 " + quotedAuth + " basic"}));

  const std::string run = (root_ / "r u\\n").string();
  std::vector<std::string> written;
  const std::string path = TunnelFileCopies(generator, generator.GetConfigText(), request, platform::ServiceIdentity())
                               .Write(AsService(), run, "p.ovpn", &written);
  std::vector<std::string> contents;
  for (const FileReference& reference : FindFileReferences(test::ReadFile(path))) {
    EXPECT_EQ(fs::path(reference.path).parent_path(), fs::path(run)) << reference.path;
    contents.push_back(test::ReadFile(reference.path));
  }
  EXPECT_EQ(contents, (std::vector<std::string>{"CA", "alice\r\ns3 \r\n"}));
}

TEST_F(ConfigGeneratorTest, TemplateLinesAreReadAsATextStreamReadsThem) {
  const struct {
    const char* name;
    std::string file;
    std::string text;
  } cases[] = {
      {"line feeds", "a\nb\n", "a\r\nb\r\n\r\n"},
      {"CR LF line ends read as line feeds", "a\r\nb\r\n", "a\r\nb\r\n\r\n"},
      {"no final line feed", "a\nb", "a\r\nb\r\n"},
      {"lone carriage return stays", "a\rb", "a\rb\r\n"},
      {"empty file is one empty line", "", "\r\n"},
      {"UTF-8 passes through unchanged", "caf\xC3\xA9", "caf\xC3\xA9\r\n"},
  };
  const std::string path = (root_ / "conf" / "t.txt").string();
  for (const auto& testCase : cases) {
    test::WriteFile(path, testCase.file);
    EXPECT_EQ(ReadTextFile(path), testCase.text) << testCase.name;
  }
  EXPECT_EQ(ReadTextFile((root_ / "conf" / "missing.txt").string()), "");
}

TEST(ConfigGeneratorSteps, TemplateBesideTheExecutableWinsOverTheRelativeText) {
  registerLoggers();
  const std::string executable = platform::ExecutablePath();
  const std::string ownName = executable.substr(executable.rfind('/') + 1);
  EXPECT_EQ(ResolveTemplatePath(ownName, loggers::kVpnConfig, {"c ", "s ", "r "}), executable);
  const std::string missing = "../conf/" + test::UniqueName("none") + ".ovpn";
  EXPECT_EQ(ResolveTemplatePath(missing, loggers::kDefault, {"c ", "s ", "r "}), missing);
}

}  // namespace
}  // namespace vortan
