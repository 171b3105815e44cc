#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vortan {

// A file that an OpenVPN configuration names: the option and the parameter as OpenVPN
// reads it, and where the parameter stands in the configuration text (quotes included).
struct FileReference {
  std::string option;
  std::string path;
  std::size_t offset = 0;
  std::size_t length = 0;
};

// Every file parameter of the options through which OpenVPN reads a file: ca, cert, key,
// tls-auth, tls-crypt, tls-crypt-v2, dh, pkcs12, crl-verify, extra-certs, secret,
// auth-user-pass, askpass, and the credentials file of http-proxy and socks-proxy.
// Lines are read as OpenVPN reads them (quotes, escapes, comments); inline blocks
// (<ca> ... </ca>) and inline parameters name no file.
std::vector<FileReference> FindFileReferences(const std::string& configText);

// The text with each reference's parameter replaced by the path of the same index, in
// double quotes as OpenVPN reads them.
std::string ReplaceFileReferences(const std::string& configText, const std::vector<FileReference>& references,
                                  const std::vector<std::string>& paths);

// The text with each reference's parameter replaced by the value of the same index, as
// it is.
std::string ReplaceReferencedText(const std::string& configText, const std::vector<FileReference>& references,
                                  const std::vector<std::string>& values);

// path between double quotes, its backslashes and double quotes escaped.
std::string QuotedOpenVpnParameter(const std::string& path);

}  // namespace vortan
