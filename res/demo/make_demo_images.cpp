// Writes the two images of the demo package, and a package that the updater must
// refuse, from fixed seeds: the same bytes on every machine and every build.
//
//   make_demo_images OUTDIR
//     OUTDIR/demo_image1.bin   1,441,793 bytes
//     OUTDIR/demo_image2.bin     307,202 bytes
//     OUTDIR/unusable.klvpkg   the demo's identifiers without an image1: valid, not usable
//
// The lengths are just past a round size on purpose: a transfer that silently assumes
// whole chunks shows up at once. With the demo's records they also make the body's
// length 1 more than a multiple of 4, so that scrambling covers every whole word of it.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "package/package_writer.h"

namespace {

constexpr uint32_t kImage1Length = 1'441'793;
constexpr uint32_t kImage2Length = 307'202;
constexpr uint32_t kPageSize = 4096;

// splitmix64: tiny, fully defined, identical everywhere (unlike the standard
// distributions).
class Generator {
  public:
    explicit Generator(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    uint64_t state_;
};

void PutLe32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
    for (int i = 0; i < 4 && at + i < image.size(); ++i) {
        image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Looks like a flash dump: a header, then pages of code-like words, lookup tables and
// erased flash, with a checksum in the last four bytes.
std::vector<uint8_t> MakeImage(int number, uint32_t length, uint64_t seed) {
    std::vector<uint8_t> image(length, 0);
    Generator random(seed);

    const std::string name = "KLV-R20P image " + std::to_string(number) + " (demo)";
    std::copy(name.begin(), name.end(), image.begin() + 16);
    PutLe32(image, 0, 0x5746564B);  // "KVFW"
    PutLe32(image, 4, static_cast<uint32_t>(number));
    PutLe32(image, 8, length);

    for (size_t page = 256; page < length; page += kPageSize) {
        const size_t end = std::min<size_t>(page + kPageSize, length);
        const uint64_t kind = random.Next() % 8;
        for (size_t at = page; at < end; at += 4) {
            uint32_t word;
            if (kind == 0) {
                word = 0xFFFFFFFF;  // erased
            } else if (kind == 1) {
                word = static_cast<uint32_t>((at - page) / 4 * 0x01010101u);  // table
            } else {
                // Instruction-like: a few opcodes with random operands.
                const uint64_t r = random.Next();
                static constexpr uint32_t kOpcodes[] = {0xE5900000, 0xE3A00000, 0xEB000000,
                                                        0xE12FFF1E, 0xE59F0000, 0xE2800000};
                word = kOpcodes[r % 6] | static_cast<uint32_t>((r >> 8) & 0x000FFFFF);
            }
            PutLe32(image, at, word);
        }
    }
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 < length; ++i) {
        sum = sum * 31 + image[i];
    }
    PutLe32(image, length - 4, sum);
    return image;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_demo_images: cannot write %s\n", path.string().c_str());
        return false;
    }
    return true;
}

std::vector<uint8_t> MakeUnusablePackage(const std::vector<uint8_t>& image2) {
    klv::package::PackageWriter writer;
    writer.ModelIdRecord({0x4B, 0x4C, 0x56, 0x32})
        .ModelIdRecord({0x4B, 0x4C, 0x56, 0x33})
        .UsbIdRecord(0x0ABC, 0x1234)
        .UsbIdRecord(0x0ABC, 0x1235)
        .PrefixRecord("R20P-02.")
        .PrefixRecord("R20P-03.")
        .VersionTextRecord("Ver. 03.0100")
        .Image(klv::package::kRecordImage2, image2);
    return writer.Scrambled();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo_images OUTDIR\n");
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const auto image1 = MakeImage(1, kImage1Length, 0x4B4C5632'00000001ull);
    const auto image2 = MakeImage(2, kImage2Length, 0x4B4C5632'00000002ull);
    const bool written = WriteFile(dir / "demo_image1.bin", image1) &&
                         WriteFile(dir / "demo_image2.bin", image2) &&
                         WriteFile(dir / "unusable.klvpkg", MakeUnusablePackage(image2));
    return written ? 0 : 1;
}
