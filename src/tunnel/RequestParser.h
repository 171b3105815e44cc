#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vortan {

// The words of a "start" request by position: 6 words, or 11 with the proxy words.
class RequestParser {
 public:
  class BadArgumentException : public std::runtime_error {
   public:
    BadArgumentException() : std::runtime_error("Bad Argument") {}
  };

  // Splits and stores; throws BadArgumentException on a wrong word count and
  // std::out_of_range("invalid string position") on an empty word.
  explicit RequestParser(const std::string& text);
  virtual ~RequestParser() = default;

  // Splits like a wide input stream reading strings, joining double-quoted words.
  static std::vector<std::string> Tokenize(const std::string& text);

  bool HasProxy() const { return hasProxy_; }
  const std::string& GetRemoteHost() const { return remoteHost_; }
  const std::string& GetRemotePort() const { return remotePort_; }
  const std::string& GetConfigPrefix() const { return configPrefix_; }
  const std::string& GetConfigFileName() const { return configFileName_; }
  const std::string& GetDevice() const { return device_; }
  const std::string& GetProtocol() const { return protocol_; }
  const std::string& GetIpWin32Mode() const { return ipWin32Mode_; }
  const std::string& GetProxyServer() const { return proxyServer_; }
  const std::string& GetProxyPort() const { return proxyPort_; }
  const std::string& GetProxyUserName() const { return proxyUserName_; }
  const std::string& GetProxyPassword() const { return proxyPassword_; }
  const std::string& GetProxyAuthentication() const { return proxyAuthentication_; }

  // True when a stored word holds a control character (a byte below 0x20, or 0x7F),
  // which could end its line early in a generated configuration file.
  bool HasControlCharacter() const;

  // The tunnel controller points OpenVPN at the local stunnel end in QBR mode.
  void SetHasProxy(bool hasProxy) { hasProxy_ = hasProxy; }
  void SetRemoteHost(const std::string& value) { remoteHost_ = value; }
  void SetRemotePort(const std::string& value) { remotePort_ = value; }
  void SetProtocol(const std::string& value) { protocol_ = value; }

 private:
  bool hasProxy_ = false;
  std::string remoteHost_;
  std::string remotePort_;
  std::string configPrefix_;
  std::string configFileName_;
  std::string device_;
  std::string protocol_;
  std::string proxyServer_;
  std::string proxyPort_;
  std::string proxyUserName_;
  std::string proxyPassword_;
  std::string proxyAuthentication_;
  std::string ipWin32Mode_;
};

}  // namespace vortan
