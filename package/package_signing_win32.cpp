// Keys and signatures through CNG (bcrypt.dll); base64 through crypt32. CNG takes and
// gives keys as raw numbers (X, Y and d), so the PEM and DER around them are read and
// written by key_encoding.cpp. A signature is r || s, 32 bytes each, which is CNG's own
// form: no conversion on the way in or out.
#include <windows.h>

#include <bcrypt.h>
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "package/key_encoding.h"
#include "package/package_signing.h"

namespace klv::package {

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// CNG's P-256 key blob: BCRYPT_ECCKEY_BLOB, then X and Y, then d for a private key.
constexpr ULONG kCoordinate = 32;

struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

// Windows wants UTF-16 file names; the API gives UTF-8.
std::optional<std::wstring> Wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), length);
    return wide;
}

// The system's text for an error code, in UTF-8, without its closing full stop.
std::string SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr,
                                             0, nullptr, nullptr);
        text.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), size,
                            nullptr, nullptr);
    }
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::optional<std::string> ReadText(const std::string& path, std::string& error) {
    const auto wide = Wide(path);
    const DWORD attributes = wide ? GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = path + " does not exist";
        return std::nullopt;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        error = path + " is not a regular file";
        return std::nullopt;
    }
    Handle file{CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        error = path + " cannot be read";
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (true) {
        if (!ReadFile(file.handle, buffer, sizeof(buffer), &got, nullptr)) {
            error = path + " cannot be read";
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, got);
    }
}

std::optional<std::vector<uint8_t>> FromBase64(const std::string& base64) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr)) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(size);
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                              bytes.data(), &size, nullptr, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

std::optional<std::string> ToBase64(const std::vector<uint8_t>& bytes) {
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr,
                              &size)) {
        return std::nullopt;
    }
    std::string text(size, '\0');
    if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, text.data(),
                              &size)) {
        return std::nullopt;
    }
    // Whatever line breaks and closing zero the system put in, the PEM lines are ours.
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    return text;
}

void Wipe(void* bytes, size_t size) {
    SecureZeroMemory(bytes, size);
}

// A CNG key and the algorithm it was made under, given back in that order.
struct CngKey {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    CngKey() = default;
    CngKey(const CngKey&) = delete;
    CngKey& operator=(const CngKey&) = delete;
    ~CngKey() {
        if (key != nullptr) {
            BCryptDestroyKey(key);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
    bool Open() {
        if (!Succeeded(
                BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
            algorithm = nullptr;
            return false;
        }
        return true;
    }
};

// Gives CNG the key's numbers; `d` only for a private key. False when CNG refuses them
// (a point not on the curve, a d out of range).
bool Import(CngKey& cng, const keys::Point& point, const keys::Scalar* d) {
    if (!cng.Open()) {
        return false;
    }
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate);
    BCRYPT_ECCKEY_BLOB header{};
    header.dwMagic =
        d != nullptr ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = kCoordinate;
    std::memcpy(blob.data(), &header, sizeof(header));
    std::copy(point.begin(), point.end(), blob.begin() + sizeof(header));
    if (d != nullptr) {
        std::copy(d->begin(), d->end(), blob.begin() + sizeof(header) + 2 * kCoordinate);
    } else {
        blob.resize(sizeof(header) + 2 * kCoordinate);
    }
    const NTSTATUS status = BCryptImportKeyPair(
        cng.algorithm, nullptr, d != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
        &cng.key, blob.data(), static_cast<ULONG>(blob.size()), 0);
    Wipe(blob.data(), blob.size());
    if (!Succeeded(status)) {
        cng.key = nullptr;
        return false;
    }
    return true;
}

std::optional<Sha256Digest> FingerprintOf(const keys::Point& point) {
    const std::vector<uint8_t> der = keys::PublicKeyInfo(point);
    return Sha256Of(der.data(), der.size());
}

std::optional<keys::PemBlock> PrivatePem(std::string_view text) {
    return keys::FindPem(text, [](std::string_view label) {
        return label == "PRIVATE KEY" || label == "ENCRYPTED PRIVATE KEY" ||
               (label.size() > 12 && label.ends_with(" PRIVATE KEY"));
    });
}

// A security descriptor that lets the user who runs this program, and no one else, at
// the file (the private key's mode 0600). Freed with LocalFree.
PSECURITY_DESCRIPTOR UserOnlySecurity() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    const bool got = size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    if (!got ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
        return nullptr;
    }
    // A protected DACL with one entry: full access for that user, nothing inherited.
    const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + sid + L")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return descriptor;
}

// Writes `text` to a new file beside `path`; returns its name, or nothing (with `error`
// set, and no file left) when it could not be written.
std::optional<std::wstring> WriteTemporary(const std::string& path, const std::wstring& widePath,
                                           const std::string& text, bool userOnly,
                                           std::string& error) {
    const std::wstring temporary = widePath + L".tmp-klvpkg";
    DeleteFileW(temporary.c_str());
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (userOnly) {
        security.lpSecurityDescriptor = UserOnlySecurity();
        if (security.lpSecurityDescriptor == nullptr) {
            error = path + ": cannot be written (" + SystemMessage(GetLastError()) + ")";
            return std::nullopt;
        }
    }
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, userOnly ? &security : nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD failure = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + ": cannot be written (" + SystemMessage(failure) + ")";
        return std::nullopt;
    }
    bool ok = true;
    size_t written = 0;
    while (ok && written < text.size()) {
        DWORD n = 0;
        ok = WriteFile(file, text.data() + written, static_cast<DWORD>(text.size() - written), &n,
                       nullptr) &&
             n > 0;
        written += n;
    }
    ok = ok && FlushFileBuffers(file);
    failure = GetLastError();
    ok = CloseHandle(file) && ok;
    if (!ok) {
        error = path + ": cannot be written (" + SystemMessage(failure) + ")";
        DeleteFileW(temporary.c_str());
        return std::nullopt;
    }
    return temporary;
}

}  // namespace

struct PublicKey::Key {
    CngKey cng;
};

struct KeyPair::Key {
    CngKey cng;
    keys::Point point{};
    keys::Scalar d{};
    ~Key() { Wipe(d.data(), d.size()); }
};

PublicKey::PublicKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;

std::optional<PublicKey> PublicKey::Load(const std::string& path, std::string& error) {
    const auto text = ReadText(path, error);
    if (!text) {
        return std::nullopt;
    }
    const std::string notPem = path + " is not a PEM public key (make one with klvpkg keygen)";
    const auto pem =
        keys::FindPem(*text, [](std::string_view label) { return label == "PUBLIC KEY"; });
    const auto der = pem && !pem->headers ? FromBase64(pem->base64) : std::nullopt;
    if (!der) {
        error = notPem;
        return std::nullopt;
    }
    auto key = std::make_unique<Key>();
    keys::Point point{};
    switch (keys::ReadPublicKeyInfo(*der, point)) {
        case keys::KeyRead::Ok:
            break;
        case keys::KeyRead::OtherAlgorithm:
            error = path + " is not an ECDSA P-256 public key";
            return std::nullopt;
        case keys::KeyRead::CompressedPoint:
            error = path +
                    " holds its point compressed, which this program cannot read (write it out "
                    "uncompressed: openssl ec -pubin -pubout -conv_form uncompressed)";
            return std::nullopt;
        default:
            error = notPem;
            return std::nullopt;
    }
    if (!Import(key->cng, point, nullptr)) {
        error = notPem;
        return std::nullopt;
    }
    const auto fingerprint = FingerprintOf(point);
    if (!fingerprint) {
        error = path + ": its fingerprint could not be computed";
        return std::nullopt;
    }
    PublicKey loaded(std::move(key));
    loaded.fingerprint_ = *fingerprint;
    return loaded;
}

bool PublicKey::Verifies(const Sha256Digest& digest, const Signature& signature) const {
    return Succeeded(BCryptVerifySignature(
        key_->cng.key, nullptr, const_cast<PUCHAR>(digest.data()),
        static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature.data()),
        static_cast<ULONG>(signature.size()), 0));
}

KeyPair::KeyPair(std::unique_ptr<Key> key) : key_(std::move(key)) {}
KeyPair::~KeyPair() = default;
KeyPair::KeyPair(KeyPair&&) noexcept = default;
KeyPair& KeyPair::operator=(KeyPair&&) noexcept = default;

std::optional<KeyPair> KeyPair::Load(const std::string& path, std::string& error) {
    auto text = ReadText(path, error);
    if (!text) {
        return std::nullopt;
    }
    const std::string notPem = path + " is not a PEM private key (make one with klvpkg keygen)";
    auto pem = PrivatePem(*text);
    Wipe(text->data(), text->size());
    if (!pem) {
        error = notPem;
        return std::nullopt;
    }
    if (pem->label == "ENCRYPTED PRIVATE KEY" || pem->headers) {
        error = path +
                " is an encrypted private key; write it out unencrypted first (openssl pkey -in "
                "KEY -out PLAIN)";
        return std::nullopt;
    }
    const bool pkcs8 = pem->label == "PRIVATE KEY";
    if (!pkcs8 && pem->label != "EC PRIVATE KEY") {
        error = path + " is not an ECDSA P-256 private key";
        return std::nullopt;
    }
    auto der = FromBase64(pem->base64);
    Wipe(pem->base64.data(), pem->base64.size());
    if (!der) {
        error = notPem;
        return std::nullopt;
    }
    auto key = std::make_unique<Key>();
    const keys::KeyRead read = pkcs8 ? keys::ReadPrivateKeyInfo(*der, key->d, key->point)
                                     : keys::ReadEcPrivateKey(*der, key->d, key->point);
    Wipe(der->data(), der->size());
    switch (read) {
        case keys::KeyRead::Ok:
            break;
        case keys::KeyRead::OtherAlgorithm:
            error = path + " is not an ECDSA P-256 private key";
            return std::nullopt;
        case keys::KeyRead::NoPublicPoint:
        case keys::KeyRead::CompressedPoint:
            // CNG takes a private key only together with its point as X and Y.
            error = path +
                    " does not hold its public key uncompressed beside the private one, which "
                    "this program needs (write it out again: openssl pkey -in KEY -out NEW)";
            return std::nullopt;
        default:
            error = notPem;
            return std::nullopt;
    }
    if (!Import(key->cng, key->point, &key->d)) {
        error = notPem;
        return std::nullopt;
    }
    const auto fingerprint = FingerprintOf(key->point);
    if (!fingerprint) {
        error = path + ": its fingerprint could not be computed";
        return std::nullopt;
    }
    KeyPair loaded(std::move(key));
    loaded.fingerprint_ = *fingerprint;
    return loaded;
}

std::optional<KeyPair> KeyPair::Generate(std::string& error) {
    auto key = std::make_unique<Key>();
    CngKey& cng = key->cng;
    if (!cng.Open() || !Succeeded(BCryptGenerateKeyPair(cng.algorithm, &cng.key, 256, 0)) ||
        !Succeeded(BCryptFinalizeKeyPair(cng.key, 0))) {
        error = "no P-256 key could be made";
        return std::nullopt;
    }
    // Its numbers, for Save and the fingerprint.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate);
    ULONG size = 0;
    BCRYPT_ECCKEY_BLOB header{};
    const bool exported =
        Succeeded(BCryptExportKey(cng.key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                  static_cast<ULONG>(blob.size()), &size, 0)) &&
        size == blob.size();
    if (exported) {
        std::memcpy(&header, blob.data(), sizeof(header));
    }
    if (!exported || header.dwMagic != BCRYPT_ECDSA_PRIVATE_P256_MAGIC ||
        header.cbKey != kCoordinate) {
        Wipe(blob.data(), blob.size());
        error = "no P-256 key could be made";
        return std::nullopt;
    }
    const UCHAR* numbers = blob.data() + sizeof(header);
    std::copy(numbers, numbers + 2 * kCoordinate, key->point.begin());
    std::copy(numbers + 2 * kCoordinate, numbers + 3 * kCoordinate, key->d.begin());
    Wipe(blob.data(), blob.size());
    const auto fingerprint = FingerprintOf(key->point);
    if (!fingerprint) {
        error = "the new key's fingerprint could not be computed";
        return std::nullopt;
    }
    KeyPair made(std::move(key));
    made.fingerprint_ = *fingerprint;
    return made;
}

bool KeyPair::Save(const std::string& privatePath, const std::string& publicPath, bool overwrite,
                   std::string& error) const {
    const auto widePrivate = Wide(privatePath);
    const auto widePublic = Wide(publicPath);
    if (!widePrivate || !widePublic) {
        error = (widePrivate ? publicPath : privatePath) + ": cannot be written (not UTF-8)";
        return false;
    }
    if (!overwrite) {
        for (const auto& [path, wide] :
             {std::pair{&privatePath, &*widePrivate}, std::pair{&publicPath, &*widePublic}}) {
            if (GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES) {
                error = *path + " already exists; pass --force to replace it";
                return false;
            }
        }
    }
    std::vector<uint8_t> privateDer = keys::PrivateKeyInfo(key_->d, key_->point);
    auto privateBase64 = ToBase64(privateDer);
    Wipe(privateDer.data(), privateDer.size());
    const auto publicBase64 = ToBase64(keys::PublicKeyInfo(key_->point));
    if (!privateBase64 || !publicBase64) {
        error = "the key could not be written as PEM";
        return false;
    }
    std::string privatePem = keys::PemText("PRIVATE KEY", *privateBase64);
    Wipe(privateBase64->data(), privateBase64->size());
    const std::string publicPem = keys::PemText("PUBLIC KEY", *publicBase64);

    // Both files are written in full before either takes its name.
    const auto privateTemp = WriteTemporary(privatePath, *widePrivate, privatePem, true, error);
    Wipe(privatePem.data(), privatePem.size());
    if (!privateTemp) {
        return false;
    }
    const auto publicTemp = WriteTemporary(publicPath, *widePublic, publicPem, false, error);
    if (!publicTemp) {
        DeleteFileW(privateTemp->c_str());
        return false;
    }
    constexpr DWORD kMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(privateTemp->c_str(), widePrivate->c_str(), kMove)) {
        error = privatePath + ": cannot be written (" + SystemMessage(GetLastError()) + ")";
        DeleteFileW(privateTemp->c_str());
        DeleteFileW(publicTemp->c_str());
        return false;
    }
    if (!MoveFileExW(publicTemp->c_str(), widePublic->c_str(), kMove)) {
        error = publicPath + ": cannot be written (" + SystemMessage(GetLastError()) + ")";
        DeleteFileW(publicTemp->c_str());
        return false;
    }
    return true;
}

std::optional<Signature> KeyPair::Sign(const Sha256Digest& digest) const {
    Signature signature{};
    ULONG size = 0;
    if (!Succeeded(BCryptSignHash(key_->cng.key, nullptr, const_cast<PUCHAR>(digest.data()),
                                  static_cast<ULONG>(digest.size()), signature.data(),
                                  static_cast<ULONG>(signature.size()), &size, 0)) ||
        size != signature.size()) {
        return std::nullopt;
    }
    return signature;
}

}  // namespace klv::package
