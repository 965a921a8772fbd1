#include "tools/klvpkg/build_command.h"

#include "tools/common/file_checks.h"
#include "tools/common/tool_exit.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<uint16_t> ParseHex16(const std::string& text) {
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    uint16_t value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = static_cast<uint16_t>(value << 4 | digit);
    }
    return value;
}

std::optional<std::vector<uint8_t>> ReadImage(const std::string& path, const char* name,
                                              std::string& error, int& exitStatus) {
    klv::tools::FileRead read = klv::tools::ReadRegularFile(name, path, klv::tools::kPackageSizeLimit);
    if (!read.ok) {
        error = read.error;
        exitStatus = read.exitStatus;
        return std::nullopt;
    }
    if (read.bytes.empty()) {
        error = std::string(name) + ": " + path + " is empty";
        exitStatus = klv::tools::kExitUsage;
        return std::nullopt;
    }
    return std::move(read.bytes);
}

}  // namespace

static std::optional<klv::package::PackageContents> ContentsOf(const BuildRequest& request,
                                                        std::string& error, int& exitStatus);

std::optional<ModelId> ParseModelId(const std::string& text) {
    if (text.size() != 8) {
        return std::nullopt;
    }
    ModelId id;
    for (size_t i = 0; i < id.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        id[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return id;
}

std::optional<UsbId> ParseUsbId(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto vendor = ParseHex16(text.substr(0, colon));
    const auto product = ParseHex16(text.substr(colon + 1));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product};
}

std::optional<klv::package::PackageContents> ContentsFromRequest(const BuildRequest& request,
                                                                 std::string& error,
                                                                 int* exitStatus) {
    int status = klv::tools::kExitUsage;
    auto contents = ContentsOf(request, error, status);
    if (!contents && exitStatus != nullptr) {
        *exitStatus = status;
    }
    return contents;
}

static std::optional<klv::package::PackageContents> ContentsOf(const BuildRequest& request,
                                                        std::string& error, int& exitStatus) {
    klv::package::PackageContents contents;
    contents.scrambled = !request.plain;
    for (const std::string& text : request.models) {
        const auto id = ParseModelId(text);
        if (!id) {
            error = "--model " + text + ": expected eight hex digits, e.g. 4B4C5632";
            return std::nullopt;
        }
        contents.modelIds.push_back(*id);
    }
    for (const std::string& text : request.usbIds) {
        const auto id = ParseUsbId(text);
        if (!id) {
            error = "--usb " + text + ": expected VID:PID in hex, e.g. 0ABC:1234";
            return std::nullopt;
        }
        contents.usbIds.push_back(*id);
    }
    contents.versionPrefixes = request.prefixes;
    contents.versionText = request.versionText;

    if (request.image1.empty()) {
        error = "--image1 is required";
        return std::nullopt;
    }
    auto image1 = ReadImage(request.image1, "--image1", error, exitStatus);
    if (!image1) {
        return std::nullopt;
    }
    contents.image1 = std::move(*image1);
    if (!request.image2.empty()) {
        auto image2 = ReadImage(request.image2, "--image2", error, exitStatus);
        if (!image2) {
            return std::nullopt;
        }
        contents.image2 = std::move(*image2);
    }

    const std::string problem = klv::package::CheckContents(contents);
    if (!problem.empty()) {
        error = problem;
        return std::nullopt;
    }
    return contents;
}
