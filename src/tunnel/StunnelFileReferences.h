#pragma once

#include <string>
#include <vector>

#include "tunnel/OpenVpnFileReferences.h"

namespace vortan {

// Every value of the stunnel options through which stunnel reads a file or a directory:
// CAfile, CApath, cert, key, CRLfile, CRLpath, PSKsecrets and include (option names in
// any case, as stunnel reads them). A line is "option = value" with the blanks around
// both trimmed; a line that begins with "#" or ";" is a comment.
std::vector<FileReference> FindStunnelFileReferences(const std::string& configText);

}  // namespace vortan
