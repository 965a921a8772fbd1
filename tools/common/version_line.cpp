#include "tools/common/version_line.h"

#include "klv_version.h"

namespace klv::tools {

std::string VersionLine(const std::string& toolName) {
    return toolName + " " KLV_VERSION_AND_COMMIT;
}

}  // namespace klv::tools
