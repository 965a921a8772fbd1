#include "tools/klvpkg/package_report.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "package/package_layout.h"
#include "package/sha256.h"
#include "tools/common/console.h"
#include "tools/common/printable_text.h"
#include "tools/klvpkg/package_problem.h"

namespace {

std::string HexUpper(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// Printable ASCII as it stands, anything else as \xNN, in quotes.
std::string Quoted(const uint8_t* bytes, size_t length) {
    std::string text = "\"";
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\x" + HexOf(&c, 1);
        }
    }
    return text + "\"";
}

std::string Hex4(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return HexUpper(bytes, 2);
}

std::string ImageLine(const FWImage& image) {
    if (image.empty()) {
        return "none";
    }
    return std::to_string(image.length) + " bytes, SHA-256 " + Sha256Hex(image);
}

// The scrambling as the trailer describes it, read from the file as stored.
std::string ScrambleLine(const std::vector<uint8_t>& raw) {
    using namespace klv::package;
    if (raw.size() < FWPackage::kMinimumSize || raw.size() > UINT32_MAX) {
        return "no trailer";
    }
    const Trailer trailer = ReadTrailer(raw.data(), static_cast<uint32_t>(raw.size()));
    if (trailer.scrambleFlag == 0) {
        return "none (plain)";
    }
    std::ostringstream line;
    if (!TrailerScramblingRecognised(raw.data(), static_cast<uint32_t>(raw.size()))) {
        // Numbers that describe no region of this file would only mislead.
        line << "trailer not recognised (flag 0x" << Hex4(trailer.scrambleFlag)
             << "); the body is read as stored";
        return line.str();
    }
    if (trailer.scrambleFlag == kScrambleFlag &&
        trailer.scrambleLength == raw.size() - FWPackage::kMinimumSize &&
        (trailer.scrambleCount == trailer.scrambleLength || trailer.scrambleCount == 0)) {
        line << "whole body, ";
    }
    line << "flag 0x" << Hex4(trailer.scrambleFlag) << ", length " << trailer.scrambleLength
         << ", count " << trailer.scrambleCount;
    return line.str();
}

}  // namespace

std::string HexOf(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string Sha256Hex(const FWImage& image) {
    static const uint8_t kNothing = 0;
    const uint8_t* data = image.empty() ? &kNothing : image.data.get();
    const auto digest = klv::package::Sha256Of(data, image.length);
    if (!digest) {
        return "unavailable";
    }
    return HexOf(digest->data(), digest->size());
}

std::string ProblemText(const std::vector<uint8_t>& raw) {
    const auto problem = FindPackageProblem(raw.data(), raw.size());
    if (!problem) {
        return "none";
    }
    return problem->reason +
           (problem->offset ? " at offset " + std::to_string(*problem->offset) : std::string());
}

std::string PackageSummary(const FWPackage& package, const std::vector<uint8_t>& raw,
                           const std::string& name) {
    std::ostringstream out;
    out << "Package:          " << klv::tools::ShownText(name) << " (" << raw.size()
        << " bytes)\n";
    out << "Valid:            " << (package.valid ? "yes" : "no") << "\n";
    out << "Usable:           " << (package.IsUsable() ? "yes" : "no") << "\n";
    out << "Problem:          " << ProblemText(raw) << "\n";
    out << "Scrambling:       " << ScrambleLine(raw) << "\n";
    out << "Image 1:          " << ImageLine(package.image1) << "\n";
    out << "Image 2:          " << ImageLine(package.image2) << "\n";
    const auto* text = reinterpret_cast<const uint8_t*>(package.versionText);
    out << "Version text:     "
        << Quoted(text, strnlen(package.versionText, sizeof(package.versionText))) << "\n";
    out << "Model ids:        ";
    for (size_t i = 0; i < package.modelIds.size(); ++i) {
        out << (i ? " " : "") << HexUpper(package.modelIds[i].data(), 4);
    }
    out << (package.modelIds.empty() ? "none\n" : "\n");
    out << "Version prefixes: ";
    for (size_t i = 0; i < package.versionPrefixes.size(); ++i) {
        const VersionPrefix& entry = package.versionPrefixes[i];
        out << (i ? " " : "") << Quoted(entry.prefix, entry.prefixLength);
    }
    out << (package.versionPrefixes.empty() ? "none\n" : "\n");
    out << "USB ids:          ";
    for (size_t i = 0; i < package.usbIds.size(); ++i) {
        out << (i ? " " : "") << Hex4(package.usbIds[i].vendorId) << ":"
            << Hex4(package.usbIds[i].productId);
    }
    out << (package.usbIds.empty() ? "none\n" : "\n");
    return out.str();
}

std::string PackageJson(const FWPackage& package, const std::vector<uint8_t>& raw,
                        const nlohmann::ordered_json& extra) {
    using Json = nlohmann::ordered_json;
    auto image = [](const FWImage& img) {
        return Json{{"length", img.length}, {"sha256", Sha256Hex(img)}};
    };
    Json models = Json::array();
    for (const ModelId& id : package.modelIds) {
        models.push_back(HexOf(id.data(), id.size()));
    }
    Json prefixes = Json::array();
    for (const VersionPrefix& entry : package.versionPrefixes) {
        prefixes.push_back(HexOf(entry.prefix, entry.prefixLength));
    }
    Json usb = Json::array();
    for (const UsbId& id : package.usbIds) {
        usb.push_back(Json{{"vendorId", id.vendorId}, {"productId", id.productId}});
    }
    Json report = {
        {"valid", package.valid},
        {"usable", package.IsUsable()},
        {"image1", image(package.image1)},
        {"image2", image(package.image2)},
        {"versionText", HexOf(reinterpret_cast<const uint8_t*>(package.versionText),
                              strnlen(package.versionText, sizeof(package.versionText)))},
        {"modelIds", models},
        {"versionPrefixes", prefixes},
        {"usbIds", usb},
        {"problem", nullptr},
    };
    if (const auto problem = FindPackageProblem(raw.data(), raw.size())) {
        report["problem"] = Json{
            {"reason", problem->reason},
            {"offset", problem->offset ? Json(*problem->offset) : Json(nullptr)},
        };
    }
    for (const auto& [key, value] : extra.items()) {
        report[key] = value;
    }
    return report.dump(2) + "\n";
}
