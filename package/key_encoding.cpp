#include "package/key_encoding.h"

#include <algorithm>
#include <cstddef>

namespace klv::package::keys {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

// Takes the next line off `rest`, without its line break and trailing blanks.
std::string_view NextLine(std::string_view& rest) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.remove_suffix(1);
    }
    return line;
}

// Tags of the DER elements a key is made of.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kContext0 = 0xA0;           // [0], constructed
constexpr uint8_t kContext1 = 0xA1;           // [1], constructed
constexpr uint8_t kContext1Primitive = 0x81;  // [1], implicit BIT STRING

// 1.2.840.10045.2.1 (an EC public key) and 1.2.840.10045.3.1.7 (the curve P-256).
constexpr uint8_t kEcPublicKeyOid[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
constexpr uint8_t kP256Oid[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

// A run of DER elements, read front to back. Only the definite, shortest length forms
// are taken; keys are far below 64 KiB.
class Der {
  public:
    Der() = default;
    Der(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Der(const std::vector<uint8_t>& bytes) : Der(bytes.data(), bytes.size()) {}

    bool AtEnd() const { return size_ == 0; }
    bool Next(uint8_t tag) const { return size_ > 0 && data_[0] == tag; }

    // The content of the next element when it has tag `tag`; it is then passed.
    std::optional<Der> Take(uint8_t tag) {
        if (size_ < 2 || data_[0] != tag) {
            return std::nullopt;
        }
        size_t header = 2;
        size_t length = data_[1];
        if (length == 0x81) {
            if (size_ < 3 || data_[2] < 0x80) {
                return std::nullopt;
            }
            header = 3;
            length = data_[2];
        } else if (length == 0x82) {
            if (size_ < 4) {
                return std::nullopt;
            }
            header = 4;
            length = (size_t{data_[2]} << 8) | data_[3];
            if (length < 0x100) {
                return std::nullopt;
            }
        } else if (length >= 0x80) {
            return std::nullopt;
        }
        if (size_ - header < length) {
            return std::nullopt;
        }
        Der content(data_ + header, length);
        data_ += header + length;
        size_ -= header + length;
        return content;
    }

    template <size_t N>
    bool Is(const uint8_t (&bytes)[N]) const {
        return size_ == N && std::equal(bytes, bytes + N, data_);
    }

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The named curve P-256 in `parameters` (an OID and nothing after it).
KeyRead ReadCurve(Der parameters) {
    if (!parameters.Next(kOid)) {
        // Explicit curve numbers, or none: not a form we take.
        return parameters.AtEnd() ? KeyRead::NotKey : KeyRead::OtherAlgorithm;
    }
    const auto curve = parameters.Take(kOid);
    if (!curve || !parameters.AtEnd()) {
        return KeyRead::NotKey;
    }
    return curve->Is(kP256Oid) ? KeyRead::Ok : KeyRead::OtherAlgorithm;
}

// AlgorithmIdentifier: id-ecPublicKey and the named curve.
KeyRead ReadAlgorithm(Der& outer) {
    auto algorithm = outer.Take(kSequence);
    if (!algorithm) {
        return KeyRead::NotKey;
    }
    const auto oid = algorithm->Take(kOid);
    if (!oid) {
        return KeyRead::NotKey;
    }
    if (!oid->Is(kEcPublicKeyOid)) {
        return KeyRead::OtherAlgorithm;
    }
    return ReadCurve(*algorithm);
}

// The content of a BIT STRING holding the point: no unused bits, then 04 || X || Y.
KeyRead ReadPoint(Der bits, Point& point) {
    if (bits.size() < 1 || bits.data()[0] != 0) {
        return KeyRead::NotKey;
    }
    const uint8_t* form = bits.data() + 1;
    const size_t size = bits.size() - 1;
    if (size == 1 + point.size() && form[0] == 0x04) {
        std::copy(form + 1, form + size, point.begin());
        return KeyRead::Ok;
    }
    if (size == 33 && (form[0] == 0x02 || form[0] == 0x03)) {
        return KeyRead::CompressedPoint;
    }
    return KeyRead::NotKey;
}

// ECPrivateKey: version 1, d, the curve ([0], needed when nothing around the key names
// it) and the public point ([1]).
KeyRead ReadEcPrivateKeyIn(Der outer, bool curveKnown, Scalar& d, Point& point) {
    auto key = outer.Take(kSequence);
    if (!key || !outer.AtEnd()) {
        return KeyRead::NotKey;
    }
    const auto version = key->Take(kInteger);
    const uint8_t kOne[] = {0x01};
    if (!version || !version->Is(kOne)) {
        return KeyRead::NotKey;
    }
    const auto number = key->Take(kOctetString);
    if (!number || number->size() < 1 || number->size() > d.size()) {
        return KeyRead::NotKey;
    }
    d.fill(0);
    std::copy(number->data(), number->data() + number->size(),
              d.end() - static_cast<std::ptrdiff_t>(number->size()));
    if (key->Next(kContext0)) {
        const auto parameters = key->Take(kContext0);
        const KeyRead curve = parameters ? ReadCurve(*parameters) : KeyRead::NotKey;
        if (curve != KeyRead::Ok) {
            return curve;
        }
        curveKnown = true;
    }
    if (!curveKnown) {
        return KeyRead::NotKey;
    }
    if (!key->Next(kContext1)) {
        return key->AtEnd() ? KeyRead::NoPublicPoint : KeyRead::NotKey;
    }
    auto wrapped = key->Take(kContext1);
    const auto bits = wrapped ? wrapped->Take(kBitString) : std::nullopt;
    if (!bits || !wrapped->AtEnd() || !key->AtEnd()) {
        return KeyRead::NotKey;
    }
    return ReadPoint(*bits, point);
}

}  // namespace

std::optional<PemBlock> FindPem(std::string_view text, bool (*wanted)(std::string_view label)) {
    std::string_view rest = text;
    while (!rest.empty()) {
        std::string_view line = NextLine(rest);
        if (line.size() <= kBegin.size() + kDashes.size() || !line.starts_with(kBegin) ||
            !line.ends_with(kDashes)) {
            continue;
        }
        PemBlock block;
        block.label = line.substr(kBegin.size(), line.size() - kBegin.size() - kDashes.size());
        const std::string end = std::string(kEnd) + block.label + std::string(kDashes);
        bool closed = false;
        while (!rest.empty() && !closed) {
            line = NextLine(rest);
            if (line == end) {
                closed = true;
            } else if (line.find(':') != std::string_view::npos) {
                block.headers = true;
            } else {
                block.base64 += line;
            }
        }
        if (wanted(block.label)) {
            if (!closed) {
                return std::nullopt;
            }
            return block;
        }
    }
    return std::nullopt;
}

std::string PemText(std::string_view label, std::string_view base64) {
    std::string text = std::string(kBegin) + std::string(label) + std::string(kDashes) + "\n";
    for (size_t at = 0; at < base64.size(); at += 64) {
        text += base64.substr(at, 64);
        text += '\n';
    }
    return text + std::string(kEnd) + std::string(label) + std::string(kDashes) + "\n";
}

KeyRead ReadPublicKeyInfo(const std::vector<uint8_t>& der, Point& point) {
    Der top(der);
    auto info = top.Take(kSequence);
    if (!info || !top.AtEnd()) {
        return KeyRead::NotKey;
    }
    const KeyRead algorithm = ReadAlgorithm(*info);
    if (algorithm != KeyRead::Ok) {
        return algorithm;
    }
    const auto bits = info->Take(kBitString);
    if (!bits || !info->AtEnd()) {
        return KeyRead::NotKey;
    }
    return ReadPoint(*bits, point);
}

KeyRead ReadPrivateKeyInfo(const std::vector<uint8_t>& der, Scalar& d, Point& point) {
    Der top(der);
    auto info = top.Take(kSequence);
    if (!info || !top.AtEnd()) {
        return KeyRead::NotKey;
    }
    // Version 0, or 1 for the form that may carry the public key after the attributes.
    const auto version = info->Take(kInteger);
    const uint8_t kZero[] = {0x00};
    const uint8_t kOne[] = {0x01};
    if (!version || !(version->Is(kZero) || version->Is(kOne))) {
        return KeyRead::NotKey;
    }
    const KeyRead algorithm = ReadAlgorithm(*info);
    if (algorithm != KeyRead::Ok) {
        return algorithm;
    }
    const auto key = info->Take(kOctetString);
    if (!key) {
        return KeyRead::NotKey;
    }
    // Attributes and an outer copy of the public key mean nothing here; the point is
    // read from inside the key.
    if (info->Next(kContext0)) {
        info->Take(kContext0);
    }
    if (info->Next(kContext1Primitive)) {
        info->Take(kContext1Primitive);
    }
    if (!info->AtEnd()) {
        return KeyRead::NotKey;
    }
    return ReadEcPrivateKeyIn(*key, true, d, point);
}

KeyRead ReadEcPrivateKey(const std::vector<uint8_t>& der, Scalar& d, Point& point) {
    return ReadEcPrivateKeyIn(Der(der), false, d, point);
}

std::vector<uint8_t> PublicKeyInfo(const Point& point) {
    // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }
    // clang-format off
    static constexpr uint8_t kHead[] = {
        kSequence, 0x59, kSequence, 0x13,
        kOid, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01,
        kOid, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07,
        kBitString, 0x42, 0x00, 0x04};
    // clang-format on
    std::vector<uint8_t> der;
    der.reserve(sizeof(kHead) + point.size());
    der.assign(std::begin(kHead), std::end(kHead));
    der.insert(der.end(), point.begin(), point.end());
    return der;
}

std::vector<uint8_t> PrivateKeyInfo(const Scalar& d, const Point& point) {
    // SEQUENCE { 0, SEQUENCE { id-ecPublicKey, prime256v1 }, OCTET STRING { ECPrivateKey } },
    // the ECPrivateKey being SEQUENCE { 1, OCTET STRING d, [1] BIT STRING { 04 X Y } }:
    // the curve is named once, outside.
    // clang-format off
    static constexpr uint8_t kHead[] = {
        kSequence, 0x81, 0x87, kInteger, 0x01, 0x00, kSequence, 0x13,
        kOid, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01,
        kOid, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07,
        kOctetString, 0x6d, kSequence, 0x6b, kInteger, 0x01, 0x01, kOctetString, 0x20};
    // clang-format on
    static constexpr uint8_t kMiddle[] = {kContext1, 0x44, kBitString, 0x42, 0x00, 0x04};
    std::vector<uint8_t> der;
    der.reserve(sizeof(kHead) + d.size() + sizeof(kMiddle) + point.size());
    der.assign(std::begin(kHead), std::end(kHead));
    der.insert(der.end(), d.begin(), d.end());
    der.insert(der.end(), std::begin(kMiddle), std::end(kMiddle));
    der.insert(der.end(), point.begin(), point.end());
    return der;
}

}  // namespace klv::package::keys
