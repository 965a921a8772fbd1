#include "tools/common/version_line.h"

#ifndef KLV_VERSION
#define KLV_VERSION "unknown"
#endif
#ifndef KLV_COMMIT
#define KLV_COMMIT "unknown"
#endif

namespace klv::tools {

std::string VersionLine(const std::string& toolName) {
    return toolName + " " KLV_VERSION " (commit " KLV_COMMIT ")";
}

}  // namespace klv::tools
