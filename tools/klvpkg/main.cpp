#include <string>
#include <vector>

#include "tools/common/console.h"
#include "tools/klvpkg/klvpkg_app.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = klv::tools::ToolArguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    klv::tools::ConsoleStream out(stdout);
    klv::tools::ConsoleStream err(stderr);
    return RunKlvpkg(static_cast<int>(pointers.size()), pointers.data(), out, err);
}
