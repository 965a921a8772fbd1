#include "tools/klvpkg/file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

bool WriteFileAtomically(const fs::path& path, const std::vector<uint8_t>& bytes,
                         std::string& error) {
    std::random_device seed;
    const fs::path temp = path.string() + ".tmp" + std::to_string(seed());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = temp.string() + ": " + std::strerror(errno);
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            error = temp.string() + ": write failed";
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        error = path.string() + ": " + ec.message();
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}
