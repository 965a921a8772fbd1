#pragma once
#include <string>

namespace klv::tools {

// "<tool> <project version> (<commit>)": what every tool prints for --version.
std::string VersionLine(const std::string& toolName);

}  // namespace klv::tools
