#include "tools/klvpkg/file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "tools/common/utf8_path.h"

namespace fs = std::filesystem;

bool WriteFileAtomically(const std::string& pathText, const std::vector<uint8_t>& bytes,
                         std::string& error) {
    using klv::tools::PathText;
    const fs::path path = klv::tools::Utf8Path(pathText);
    std::random_device seed;
    const fs::path temp = klv::tools::Utf8Path(pathText + ".tmp" + std::to_string(seed()));
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = PathText(temp) + ": " + std::strerror(errno);
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            error = PathText(temp) + ": write failed";
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        error = pathText + ": " + ec.message();
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}
