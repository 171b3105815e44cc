#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tunnel/ConfigManager.h"
#include "tunnel/OpenVpnFileReferences.h"
#include "tunnel/StunnelFileReferences.h"

namespace vortan {
namespace {

const char* const kBom = "\xEF\xBB\xBF";

TEST(ConfigGeneratorSteps, ReplaceAllEscapeAndFileBytes) {
  const auto replaced = [](std::string text, const char* from, const char* to) {
    ReplaceAll(text, from, to);
    return text;
  };
  EXPECT_EQ(replaced("%A%-%A%%A%", "%A%", "x%A%"), "x%A%-x%A%x%A%");
  EXPECT_EQ(replaced("x%A%-x%A%x%A%", "", "never"), "x%A%-x%A%x%A%");
  EXPECT_EQ(replaced("%a%", "%A%", "x"), "%a%");  // case-sensitive

  // One pass: no value is searched again, and unknown or unclosed names stay.
  EXPECT_EQ(FillPlaceholders("%A%%B%-%C%%A%B", {{"%A%", "%B%"}, {"%B%", "b"}, {"", "never"}}), "%B%b-%C%%B%B");

  EXPECT_EQ(EscapeBackslashes("C:\\data\\\\x_"), "C:\\\\data\\\\\\\\x_");
  EXPECT_EQ(EscapeBackslashes("OpenVpnLog.txt"), "OpenVpnLog.txt");

  EXPECT_EQ(Utf8FileBytes(""), "");
  EXPECT_EQ(Utf8FileBytes("a\nb\r\n"), std::string(kBom) + "a\r\nb\r\r\n");
}

// The files OpenVPN would read for a configuration, as option and path.
struct FileReferenceCase {
  const char* name;
  std::string text;
  std::vector<std::pair<std::string, std::string>> files;
};

const FileReferenceCase kFileReferenceCases[] = {
    {"shipped template lines", std::string(kBom) + "ca x_ca.crt\r\r\ncert x_client.crt\r\r\nkey x_client.key\r\r\n",
     {{"ca", "x_ca.crt"}, {"cert", "x_client.crt"}, {"key", "x_client.key"}}},
    {"every file option",
     "tls-auth ta.key 1\ntls-crypt tc.key\ntls-crypt-v2 tc2.key\ndh dh.pem\npkcs12 p.p12\ncrl-verify crl.pem\n"
     "extra-certs extra.pem\nsecret s.key 0\nauth-user-pass up.txt\naskpass pass.txt\n"
     "http-proxy 10.0.0.1 3128 \"/d/x_auth.txt\" basic\nsocks-proxy 10.0.0.1 1080 socks.txt\n",
     {{"tls-auth", "ta.key"}, {"tls-crypt", "tc.key"}, {"tls-crypt-v2", "tc2.key"}, {"dh", "dh.pem"},
      {"pkcs12", "p.p12"}, {"crl-verify", "crl.pem"}, {"extra-certs", "extra.pem"}, {"secret", "s.key"},
      {"auth-user-pass", "up.txt"}, {"askpass", "pass.txt"}, {"http-proxy", "/d/x_auth.txt"},
      {"socks-proxy", "socks.txt"}}},
    {"options written with dashes", "--ca a.crt\n", {{"ca", "a.crt"}}},
    {"quotes and escapes as OpenVPN reads them", "ca \"a b\\\"c\\\\d\"\ncert 'e\\f'\nkey g\\ h\n",
     {{"ca", "a b\"c\\d"}, {"cert", "e\\f"}, {"key", "g h"}}},
    {"comments: whole lines and after a word", "# ca a.crt\n ;cert b.crt\nkey x#y.key #z\n", {{"key", "x#y.key"}}},
    {"parameters that name no file",
     "ca [[INLINE]]\ndh none\nauth-user-pass\nhttp-proxy 10.0.0.1 3128\nhttp-proxy 10.0.0.1 3128 auto\n"
     "auth-user-pass stdin\n",
     {}},
    {"inline blocks are content", "<ca>\nca not-a-file\n</ca>\nkey k.key\n", {{"key", "k.key"}}},
    {"other options and look-alikes", "cafile a\nremote ca 1194\nproto udp\n", {}},
};

TEST(OpenVpnFileReferences, FindsTheFilesOpenVpnReads) {
  for (const auto& testCase : kFileReferenceCases) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const FileReference& reference : FindFileReferences(testCase.text)) {
      found.emplace_back(reference.option, reference.path);
    }
    EXPECT_EQ(found, testCase.files) << testCase.name;
  }
}

TEST(OpenVpnFileReferences, ReplacedParametersAreQuotedAndTheRestIsKept) {
  const std::string text = std::string(kBom) + "ca x_ca.crt\r\r\nverb 3\r\r\ntls-auth \"t a.key\" 1\r\r\n";
  const std::vector<FileReference> references = FindFileReferences(text);
  ASSERT_EQ(references.size(), 2u);
  EXPECT_EQ(ReplaceFileReferences(text, references, {"/run/ca", "/run/a \"b\"\\c"}),
            std::string(kBom) + "ca \"/run/ca\"\r\r\nverb 3\r\r\ntls-auth \"/run/a \\\"b\\\"\\\\c\" 1\r\r\n");
  // What was written reads back as the new paths.
  const std::vector<FileReference> again =
      FindFileReferences(ReplaceFileReferences(text, references, {"/run/ca", "/run/a \"b\"\\c"}));
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].path, "/run/a \"b\"\\c");
}

TEST(StunnelFileReferences, FindsTheValuesOfFileOptionsAndReplacesThemAsTheyAre) {
  const std::string text = std::string(kBom) +
                           "; CAfile = commented.pem\r\r\n"
                           "output = ../../logs/stunnelLog.txt\r\r\n"
                           "[vortan]\r\r\n"
                           "  CAfile   =  /d/x_ca.crt  \r\r\n"
                           "cert=/d/x_client.crt\r\r\n"
                           "KEY = rel.key\r\r\n"
                           "CApath = /d/certs\r\r\n"
                           "# key = commented.key\r\r\n"
                           "protocolPassword = key = no\r\r\n";
  const std::vector<FileReference> references = FindStunnelFileReferences(text);
  std::vector<std::pair<std::string, std::string>> found;
  for (const FileReference& reference : references) found.emplace_back(reference.option, reference.path);
  EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                       {"CAfile", "/d/x_ca.crt"}, {"cert", "/d/x_client.crt"}, {"KEY", "rel.key"}, {"CApath", "/d/certs"}}));
  const std::string replaced = ReplaceReferencedText(text, references, {"/run/a", "/run/b c", "/run/k", "/run/p"});
  EXPECT_NE(replaced.find("  CAfile   =  /run/a  \r\r\ncert=/run/b c\r\r\nKEY = /run/k\r\r\nCApath = /run/p\r\r\n"),
            std::string::npos)
      << replaced;
  EXPECT_NE(replaced.find("protocolPassword = key = no"), std::string::npos);
}

}  // namespace
}  // namespace vortan
