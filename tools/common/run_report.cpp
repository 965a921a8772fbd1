#include "tools/common/run_report.h"

#include <nlohmann/json.hpp>

#include "package/sha256.h"

namespace klv::tools {

namespace {

using Json = nlohmann::ordered_json;

std::string Hex(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// Texts from an instrument are bytes: shown as hex, as klvpkg shows a package's texts,
// so that any byte survives and nothing reaches a terminal unescaped.
std::string HexText(const std::string& text) {
    return Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

Json Image(const FWImage& image) {
    static const uint8_t kNothing = 0;
    return Json{{"length", image.length},
                {"sha256", Sha256Hex(image.empty() ? &kNothing : image.data.get(), image.length)}};
}

}  // namespace

std::string Sha256Hex(const uint8_t* bytes, size_t length) {
    const auto digest = klv::package::Sha256Of(bytes, length);
    if (!digest) {
        return "unavailable";
    }
    return Hex(digest->data(), digest->size());
}

std::string RunJson(const RunRecord& record) {
    Json versions = Json::array();
    for (const std::string& entry : record.instrument.versions) {
        versions.push_back(HexText(entry));
    }
    Json phases = Json::object();
    for (const PhaseTime& phase : record.phases) {
        phases[PhaseName(phase.phase)] = phase.seconds;
    }
    Json package = nullptr;
    if (record.package != nullptr) {
        package = Json{{"image1", Image(record.package->image1)},
                       {"image2", Image(record.package->image2)}};
    }
    const Json report = {
        {"port", record.port.empty() ? Json(nullptr) : Json(record.port)},
        {"usb", record.usb ? Json{{"vendorId", record.usb->vendorId},
                                  {"productId", record.usb->productId}}
                           : Json(nullptr)},
        {"serial", record.serial.empty() ? Json(nullptr) : Json(record.serial)},
        {"model", record.instrument.model ? Json(Hex(record.instrument.model->data(), 4))
                                          : Json(nullptr)},
        {"maxPacket", record.instrument.maxPacket ? Json(*record.instrument.maxPacket)
                                                  : Json(nullptr)},
        {"versions", versions},
        {"package", package},
        {"result", record.result},
        {"message", record.message},
        {"phases", phases},
    };
    // Bytes that are not UTF-8 (a serial number read from the system) are replaced
    // rather than throwing.
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace klv::tools
