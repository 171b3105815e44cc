#include "tunnel/TunnelFileCopies.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "common/Logging.h"
#include "common/Paths.h"
#include "tunnel/StunnelFileReferences.h"
#include "common/Text.h"
#include "platform/Files.h"
#include "platform/PathRules.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

// Keys, certificates and credentials are small; the bound keeps a client from making
// the service read without end.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;
const char* const kStunnelCopyPrefix = "stunnel-";
const char* const kCredentialsName = "auth.txt";
const char* const kPrivateDirectory = "../run";

// The configuration's directory with its trailing separator; empty for a bare file name.
std::filesystem::path ClientDirectoryPart(const std::string& configPath) {
  return std::filesystem::u8path(configPath).remove_filename();
}

std::filesystem::path WithTrailingSeparator(const std::string& directory) {
  return std::filesystem::u8path(directory) += std::filesystem::path::preferred_separator;
}

// A reference with a root (a leading separator, on Windows also a drive) is taken as it
// is; any other is read against directoryPart, joined as text.
std::string Resolve(const std::string& path, std::filesystem::path directoryPart) {
  if (std::filesystem::u8path(path).has_root_path()) return path;
  return (directoryPart += std::filesystem::u8path(path)).u8string();
}

// A file on another host or a device is not one of the client's files, whatever the
// client may reach.
std::string ReadAsClient(const std::string& path, const platform::CallerIdentity& reader) {
  if (platform::NamesRemoteFileOrDevice(path)) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "read of " << path << " refused: not a local file";
    throw std::runtime_error("Cannot read file : " + path);
  }
  std::string content;
  const platform::Error error = platform::ReadFileAs(reader, path, kMaxFileBytes, &content);
  if (error.Failed()) {
    const std::string reason = platform::ErrorText(error.Code());
    CLOG(DEBUG, loggers::kOpenVpnManager) << "read of " << path << " failed, errno " << error.Code() << " (" << reason << ")";
    throw std::runtime_error("Cannot read file : " + path);
  }
  return content;
}

void WriteOwnerOnlyFile(const FileWriter& writer, const std::string& path, const std::string& content) {
  if (writer.Write(path, content, platform::FileAccess::kOwnerOnly).Failed()) {
    throw std::runtime_error("Cannot write file : " + path);
  }
}

// One name per option; an option named twice gets a numbered second name.
std::string UniqueName(const std::string& option, const std::vector<std::string>& taken) {
  std::string name = option;
  for (int n = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); ++n) {
    name = option + "-" + std::to_string(n);
  }
  return name;
}

}  // namespace

TunnelFileCopies::TunnelFileCopies(const OpenVpnConfigManager& config, std::string privateText,
                                   const RequestParser& request, const platform::CallerIdentity& reader)
    : openVpn_(true), configText_(std::move(privateText)), references_(FindFileReferences(configText_)) {
  const std::filesystem::path directoryPart = ClientDirectoryPart(config.GetConfigFilePath());
  std::vector<std::string> names;
  for (const FileReference& reference : references_) {
    const bool credentials = reference.option == "http-proxy" && !config.GetAuthFilePath().empty() &&
                             reference.path == config.GetAuthFilePath();
    // The service wrote the credentials file itself: its copy comes from the request,
    // not from a file the client could have replaced since.
    const std::string name = credentials ? kCredentialsName : UniqueName(reference.option, names);
    names.push_back(name);
    copies_.push_back({name, credentials ? OpenVpnConfigManager::AuthFileContent(request.GetProxyUserName(),
                                                                                  request.GetProxyPassword())
                                         : ReadAsClient(Resolve(reference.path, directoryPart), reader)});
  }
}

TunnelFileCopies::TunnelFileCopies(const STunnelConfigManager& config, const std::string& workingDirectory,
                                   const platform::CallerIdentity& reader)
    : openVpn_(false), configText_(config.GetConfigText()), references_(FindStunnelFileReferences(configText_)) {
  const std::filesystem::path directoryPart = WithTrailingSeparator(workingDirectory);
  std::vector<std::string> names;
  for (const FileReference& reference : references_) {
    names.push_back(UniqueName(kStunnelCopyPrefix + ToLowerAscii(reference.option), names));
    copies_.push_back({names.back(), ReadAsClient(Resolve(reference.path, directoryPart), reader)});
  }
}

std::string TunnelFileCopies::Write(const FileWriter& writer, const std::string& directory,
                                    const std::string& configName, std::vector<std::string>* written) const {
  if (platform::MakeOwnerOnlyDirectory(directory).Failed()) throw std::runtime_error("Cannot write file : " + directory);
  std::vector<std::string> paths;
  for (const Copy& copy : copies_) {
    paths.push_back((std::filesystem::u8path(directory) / copy.name).u8string());
    written->push_back(paths.back());
    WriteOwnerOnlyFile(writer, paths.back(), copy.content);
  }
  const std::string configPath = (std::filesystem::u8path(directory) / configName).u8string();
  written->push_back(configPath);
  WriteOwnerOnlyFile(writer, configPath,
                     openVpn_ ? ReplaceFileReferences(configText_, references_, paths)
                              : ReplaceReferencedText(configText_, references_, paths));
  return configPath;
}

// The copies are the service's own: the client cannot change them before they are read.
std::string TunnelFileCopies::WritePrivate(const std::string& configName, std::vector<std::string>* written) const {
  return Write(FileWriter(platform::ServiceIdentity()), PrivateDirectory(), configName, written);
}

std::string PrivateDirectory() { return ResolveBesideExecutable(kPrivateDirectory); }

void RemoveFiles(std::vector<std::string>* paths) {
  for (const std::string& path : *paths) platform::RemoveFile(path);
  paths->clear();
}

}  // namespace vortan
