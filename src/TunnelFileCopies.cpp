#include "TunnelFileCopies.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Logging.h"
#include "StunnelFileReferences.h"
#include "Text.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

// Keys, certificates and credentials are small; the bound keeps a client from making
// the service read without end.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;
const char* const kStunnelCopyPrefix = "stunnel-";
const char* const kCredentialsName = "auth.txt";

std::string ClientDirectoryPart(const std::string& configPath) {
  const std::string::size_type slash = configPath.rfind('/');
  return slash == std::string::npos ? std::string() : configPath.substr(0, slash + 1);
}

std::string Resolve(const std::string& path, const std::string& directoryPart) {
  return !path.empty() && path[0] == '/' ? path : directoryPart + path;
}

std::string ReadAsClient(const std::string& path, const platform::CallerIdentity& reader) {
  std::string content;
  const int error = platform::ReadFileAs(reader, path, kMaxFileBytes, &content);
  if (error != 0) {
    const std::string reason = platform::ErrorText(error);
    CLOG(DEBUG, loggers::kOpenVpnManager) << "read of " << path << " failed, errno " << error << " (" << reason << ")";
    throw std::runtime_error("Cannot read file : " + path);
  }
  return content;
}

void WriteOwnerOnlyFile(const FileWriter& writer, const std::string& path, const std::string& content) {
  if (writer.Write(path, content, platform::FileAccess::kOwnerOnly) != 0) {
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
  const std::string directoryPart = ClientDirectoryPart(config.GetConfigFilePath());
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
  std::vector<std::string> names;
  for (const FileReference& reference : references_) {
    names.push_back(UniqueName(kStunnelCopyPrefix + ToLowerAscii(reference.option), names));
    copies_.push_back({names.back(), ReadAsClient(Resolve(reference.path, workingDirectory + "/"), reader)});
  }
}

std::string TunnelFileCopies::Write(const FileWriter& writer, const std::string& directory,
                                    const std::string& configName, std::vector<std::string>* written) const {
  if (platform::MakeOwnerOnlyDirectory(directory) != 0) throw std::runtime_error("Cannot write file : " + directory);
  std::vector<std::string> paths;
  for (const Copy& copy : copies_) {
    paths.push_back(directory + "/" + copy.name);
    written->push_back(paths.back());
    WriteOwnerOnlyFile(writer, paths.back(), copy.content);
  }
  const std::string configPath = directory + "/" + configName;
  written->push_back(configPath);
  WriteOwnerOnlyFile(writer, configPath,
                     openVpn_ ? ReplaceFileReferences(configText_, references_, paths)
                              : ReplaceReferencedText(configText_, references_, paths));
  return configPath;
}

void RemoveFiles(std::vector<std::string>* paths) {
  for (const std::string& path : *paths) platform::RemoveFile(path);
  paths->clear();
}

}  // namespace vortan
