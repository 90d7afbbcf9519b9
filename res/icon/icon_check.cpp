// Checks an application icon file: exactly the expected square sizes, each a 32-bit PNG image
// whose chunks are intact and whose pixels decode, with transparent corners, an opaque centre and
// anti-aliased edges.
//
//   icon_check file.ico 16 20 24 32 40 48 64 256
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

int failures = 0;

void expect(bool condition, const std::string& what) {
    if (condition) return;
    std::cerr << "FAILED: " << what << "\n";
    ++failures;
}

std::uint32_t bigEndian(const Bytes& data, std::size_t at) {
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
           (std::uint32_t{data[at + 2]} << 8) | data[at + 3];
}

std::uint32_t littleEndian(const Bytes& data, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | data[at + static_cast<std::size_t>(i)];
    return value;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Undoes the PNG row filters of 8-bit RGBA rows; false on an unknown filter type.
bool unfilter(Bytes& rows, std::uint32_t width, std::uint32_t height, Bytes& pixels) {
    const std::size_t stride = std::size_t{width} * 4;
    pixels.assign(stride * height, 0);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t filter = rows[y * (stride + 1)];
        const std::uint8_t* in = &rows[y * (stride + 1) + 1];
        std::uint8_t* out = &pixels[y * stride];
        const std::uint8_t* up = y > 0 ? &pixels[(y - 1) * stride] : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= 4 ? out[x - 4] : 0;
            const int b = up != nullptr ? up[x] : 0;
            const int c = (up != nullptr && x >= 4) ? up[x - 4] : 0;
            int predicted = 0;
            switch (filter) {
                case 0:
                    predicted = 0;
                    break;
                case 1:
                    predicted = a;
                    break;
                case 2:
                    predicted = b;
                    break;
                case 3:
                    predicted = (a + b) / 2;
                    break;
                case 4:
                    predicted = paeth(a, b, c);
                    break;
                default:
                    return false;
            }
            out[x] = static_cast<std::uint8_t>(in[x] + predicted);
        }
    }
    return true;
}

void checkPng(const Bytes& png, std::uint32_t size) {
    const std::string name = "the " + std::to_string(size) + " px image";
    static const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 8 || !std::equal(signature.begin(), signature.end(), png.begin())) {
        expect(false, name + " starts with the PNG signature");
        return;
    }
    std::size_t at = 8;
    Bytes header, compressed;
    bool ended = false;
    while (at + 12 <= png.size() && !ended) {
        const std::uint32_t length = bigEndian(png, at);
        if (at + 12 + length > png.size()) break;
        const std::string type(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        const std::uint32_t stored = bigEndian(png, at + 8 + length);
        const auto computed =
            static_cast<std::uint32_t>(crc32(0, &png[at + 4], static_cast<uInt>(length + 4)));
        expect(stored == computed, name + ": CRC of chunk " + type);
        const auto data = png.begin() + static_cast<std::ptrdiff_t>(at + 8);
        if (type == "IHDR") header.assign(data, data + length);
        if (type == "IDAT") compressed.insert(compressed.end(), data, data + length);
        ended = type == "IEND";
        at += 12 + length;
    }
    expect(ended, name + " ends with an IEND chunk");
    if (header.size() != 13) {
        expect(false, name + " has a 13-byte IHDR chunk");
        return;
    }
    const std::uint32_t width = bigEndian(header, 0), height = bigEndian(header, 4);
    expect(width == size && height == size,
           name + ": IHDR is " + std::to_string(width) + " x " + std::to_string(height));
    expect(header[8] == 8 && header[9] == 6, name + ": 8-bit RGBA");
    expect(header[10] == 0 && header[11] == 0 && header[12] == 0,
           name + ": deflate, standard filters, no interlace");
    if (width != size || height != size || header[8] != 8 || header[9] != 6 || header[12] != 0) {
        return;
    }

    Bytes rows(std::size_t{height} * (std::size_t{width} * 4 + 1) + 1);
    uLongf rowsSize = static_cast<uLongf>(rows.size());
    const int inflated = uncompress(rows.data(), &rowsSize, compressed.data(),
                                    static_cast<uLong>(compressed.size()));
    expect(inflated == Z_OK, name + ": image data inflates");
    expect(rowsSize == rows.size() - 1, name + ": image data holds exactly its rows");
    if (inflated != Z_OK || rowsSize != rows.size() - 1) return;
    Bytes pixels;
    if (!unfilter(rows, width, height, pixels)) {
        expect(false, name + ": known row filters");
        return;
    }
    const auto alphaAt = [&](std::uint32_t x, std::uint32_t y) {
        return pixels[(std::size_t{y} * width + x) * 4 + 3];
    };
    expect(alphaAt(0, 0) == 0 && alphaAt(size - 1, size - 1) == 0,
           name + ": corners are transparent");
    expect(alphaAt(size / 2, size / 2) == 255, name + ": the centre is opaque");
    bool blended = false;
    for (std::uint32_t y = 0; y < height && !blended; ++y) {
        for (std::uint32_t x = 0; x < width && !blended; ++x) {
            blended = alphaAt(x, y) > 0 && alphaAt(x, y) < 255;
        }
    }
    expect(blended, name + ": edges are anti-aliased");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: icon_check file.ico size...\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const Bytes ico((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::multiset<std::uint32_t> expected;
    for (int i = 2; i < argc; ++i)
        expected.insert(static_cast<std::uint32_t>(std::atoi(argv[i])));

    if (ico.size() < 6) {
        std::cerr << "FAILED: " << argv[1] << " is missing or too short\n";
        return 1;
    }
    expect(littleEndian(ico, 0, 2) == 0 && littleEndian(ico, 2, 2) == 1, "an icon file header");
    const std::uint32_t count = littleEndian(ico, 4, 2);
    expect(count == expected.size(),
           std::to_string(count) + " images, expected " + std::to_string(expected.size()));
    std::multiset<std::uint32_t> found;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extents;
    for (std::uint32_t i = 0; i < count && 6 + 16 * (i + 1) <= ico.size(); ++i) {
        const std::size_t entry = 6 + 16 * std::size_t{i};
        const std::uint32_t width = ico[entry] == 0 ? 256 : ico[entry];
        const std::uint32_t height = ico[entry + 1] == 0 ? 256 : ico[entry + 1];
        const std::string name = "entry " + std::to_string(i);
        expect(width == height, name + " is square");
        expect(ico[entry + 2] == 0 && ico[entry + 3] == 0, name + ": no palette, reserved 0");
        expect(littleEndian(ico, entry + 4, 2) == 1, name + ": one plane");
        expect(littleEndian(ico, entry + 6, 2) == 32, name + ": 32 bits per pixel");
        const std::uint32_t bytes = littleEndian(ico, entry + 8, 4);
        const std::uint32_t offset = littleEndian(ico, entry + 12, 4);
        found.insert(width);
        if (offset < 6 + 16 * count || std::uint64_t{offset} + bytes > ico.size()) {
            expect(false, name + " lies inside the file");
            continue;
        }
        extents.emplace_back(offset, offset + bytes);
        checkPng(Bytes(ico.begin() + offset, ico.begin() + offset + bytes), width);
    }
    expect(found == expected, "the image sizes are the expected ones");
    std::sort(extents.begin(), extents.end());
    for (std::size_t i = 1; i < extents.size(); ++i) {
        expect(extents[i].first >= extents[i - 1].second, "images do not overlap");
    }
    if (failures > 0) return 1;
    std::cout << argv[1] << ": " << count << " PNG images, 32 bits per pixel\n";
    return 0;
}
