// Draws the application icon from its text description and writes a Windows .ico file holding one
// PNG image (32-bit RGBA) per requested size.
//
//   icon_generator drawing.txt out.ico
//
// Shapes are rasterised with 8 x 8 samples per pixel. PNG data is compressed with fixed-Huffman
// deflate, matching each byte run against the pixel before it and the pixel above it.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSamples = 8;

struct Colour {
    double r = 0, g = 0, b = 0, a = 0;  // straight alpha, 0..1
};

enum class Kind { Rect, Circle, Line, Arc, Polygon };

struct Shape {
    Kind kind = Kind::Rect;
    std::vector<double> values;  // the numbers of the shape, in the order of the drawing file
    Colour colour;
};

struct Drawing {
    double canvas = 0;
    std::vector<int> sizes;
    std::vector<Shape> shapes;
};

[[noreturn]] void fail(int lineNumber, const std::string& message) {
    throw std::runtime_error("line " + std::to_string(lineNumber) + ": " + message);
}

Colour parseColour(const std::string& text, int lineNumber) {
    if ((text.size() != 7 && text.size() != 9) || text[0] != '#') {
        fail(lineNumber, "colour must be #RRGGBB or #RRGGBBAA: " + text);
    }
    std::array<double, 4> channels{0, 0, 0, 1};
    for (std::size_t i = 0; i * 2 + 1 < text.size(); ++i) {
        const std::string pair = text.substr(1 + i * 2, 2);
        if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            fail(lineNumber, "colour must be hexadecimal: " + text);
        }
        channels[i] = std::stoi(pair, nullptr, 16) / 255.0;
    }
    return {channels[0], channels[1], channels[2], channels[3]};
}

Drawing parseDrawing(std::istream& in) {
    Drawing drawing;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || command[0] == '#') continue;
        std::vector<std::string> args;
        for (std::string word; words >> word;)
            args.push_back(word);
        const auto number = [&](const std::string& text) {
            std::size_t used = 0;
            double value = 0;
            try {
                value = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size()) fail(lineNumber, "not a number: " + text);
            return value;
        };
        if (command == "canvas") {
            if (args.size() != 1) fail(lineNumber, "canvas takes one size");
            drawing.canvas = number(args[0]);
            continue;
        }
        if (command == "sizes") {
            for (const std::string& arg : args) {
                const double size = number(arg);
                if (size < 1 || size > 256 || size != std::floor(size)) {
                    fail(lineNumber, "icon sizes are whole numbers from 1 to 256");
                }
                drawing.sizes.push_back(static_cast<int>(size));
            }
            continue;
        }
        Shape shape;
        std::size_t expected = 0;
        if (command == "rect") {
            shape.kind = Kind::Rect;
            expected = 5;
        } else if (command == "circle") {
            shape.kind = Kind::Circle;
            expected = 3;
        } else if (command == "line") {
            shape.kind = Kind::Line;
            expected = 5;
        } else if (command == "arc") {
            shape.kind = Kind::Arc;
            expected = 6;
        } else if (command == "polygon") {
            shape.kind = Kind::Polygon;
        } else {
            fail(lineNumber, "unknown command " + command);
        }
        if (shape.kind == Kind::Polygon) {
            if (args.size() < 7 || args.size() % 2 != 1) {
                fail(lineNumber, "polygon takes a colour and at least three points");
            }
            shape.colour = parseColour(args[0], lineNumber);
            for (std::size_t i = 1; i < args.size(); ++i)
                shape.values.push_back(number(args[i]));
        } else {
            if (args.size() != expected + 1) {
                fail(lineNumber,
                     command + " takes " + std::to_string(expected) + " numbers and a colour");
            }
            for (std::size_t i = 0; i < expected; ++i)
                shape.values.push_back(number(args[i]));
            shape.colour = parseColour(args[expected], lineNumber);
        }
        drawing.shapes.push_back(std::move(shape));
    }
    if (drawing.canvas <= 0) throw std::runtime_error("the drawing names no canvas size");
    if (drawing.sizes.empty()) throw std::runtime_error("the drawing names no icon sizes");
    return drawing;
}

double distanceToSegment(double x, double y, double x0, double y0, double x1, double y1) {
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const double lengthSquared = dx * dx + dy * dy;
    double t = lengthSquared > 0 ? ((x - x0) * dx + (y - y0) * dy) / lengthSquared : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(x - (x0 + t * dx), y - (y0 + t * dy));
}

bool contains(const Shape& shape, double x, double y) {
    const std::vector<double>& v = shape.values;
    switch (shape.kind) {
        case Kind::Rect: {
            if (x < v[0] || x > v[2] || y < v[1] || y > v[3]) return false;
            const double radius = v[4];
            const double cx = std::clamp(x, v[0] + radius, v[2] - radius);
            const double cy = std::clamp(y, v[1] + radius, v[3] - radius);
            return std::hypot(x - cx, y - cy) <= radius;
        }
        case Kind::Circle:
            return std::hypot(x - v[0], y - v[1]) <= v[2];
        case Kind::Line:
            return distanceToSegment(x, y, v[0], v[1], v[2], v[3]) <= v[4] / 2;
        case Kind::Arc: {
            const double dx = x - v[0];
            const double dy = v[1] - y;
            if (std::abs(std::hypot(dx, dy) - v[2]) > v[3] / 2) return false;
            double degrees = std::atan2(dy, dx) * 180 / kPi;
            if (degrees < 0) degrees += 360;
            return degrees >= v[4] && degrees <= v[5];
        }
        case Kind::Polygon: {
            // Non-zero winding rule.
            int winding = 0;
            const std::size_t points = v.size() / 2;
            for (std::size_t i = 0; i < points; ++i) {
                const double x0 = v[i * 2], y0 = v[i * 2 + 1];
                const double x1 = v[(i + 1) % points * 2], y1 = v[(i + 1) % points * 2 + 1];
                const double side = (x1 - x0) * (y - y0) - (x - x0) * (y1 - y0);
                if (y0 <= y && y1 > y && side > 0) ++winding;
                if (y0 > y && y1 <= y && side < 0) --winding;
            }
            return winding != 0;
        }
    }
    return false;
}

// RGBA rows, straight alpha, 8 bits per channel.
std::vector<std::uint8_t> render(const Drawing& drawing, int size) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size * 4);
    const double unit = drawing.canvas / size;
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            double sum[4] = {0, 0, 0, 0};  // premultiplied
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double x = (px + (sx + 0.5) / kSamples) * unit;
                    const double y = (py + (sy + 0.5) / kSamples) * unit;
                    double r = 0, g = 0, b = 0, a = 0;
                    for (const Shape& shape : drawing.shapes) {
                        if (!contains(shape, x, y)) continue;
                        const Colour& c = shape.colour;
                        r = c.r * c.a + r * (1 - c.a);
                        g = c.g * c.a + g * (1 - c.a);
                        b = c.b * c.a + b * (1 - c.a);
                        a = c.a + a * (1 - c.a);
                    }
                    sum[0] += r;
                    sum[1] += g;
                    sum[2] += b;
                    sum[3] += a;
                }
            }
            std::uint8_t* out = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
            const double alpha = sum[3] / (kSamples * kSamples);
            for (int channel = 0; channel < 3; ++channel) {
                const double value = sum[3] > 0 ? sum[channel] / sum[3] : 0;
                out[channel] = static_cast<std::uint8_t>(std::lround(value * 255));
            }
            out[3] = static_cast<std::uint8_t>(std::lround(alpha * 255));
        }
    }
    return pixels;
}

class BitWriter {
  public:
    void bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            put((value >> i) & 1);
    }
    // Huffman codes go most significant bit first.
    void code(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            put((value >> i) & 1);
    }
    std::vector<std::uint8_t> finish() {
        if (used > 0) bytes.push_back(current);
        return std::move(bytes);
    }

  private:
    void put(std::uint32_t bit) {
        current = static_cast<std::uint8_t>(current | (bit << used));
        if (++used == 8) {
            bytes.push_back(current);
            current = 0;
            used = 0;
        }
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t current = 0;
    int used = 0;
};

void writeLiteralOrLength(BitWriter& out, int symbol) {
    if (symbol < 144) {
        out.code(static_cast<std::uint32_t>(0x30 + symbol), 8);
    } else if (symbol < 256) {
        out.code(static_cast<std::uint32_t>(0x190 + symbol - 144), 9);
    } else if (symbol < 280) {
        out.code(static_cast<std::uint32_t>(symbol - 256), 7);
    } else {
        out.code(static_cast<std::uint32_t>(0xC0 + symbol - 280), 8);
    }
}

void writeMatch(BitWriter& out, int length, int distance) {
    static constexpr int lengthBase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                         15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                         67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr int lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr int distanceBase[] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static constexpr int distanceExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int l = 28;
    while (lengthBase[l] > length)
        --l;
    writeLiteralOrLength(out, 257 + l);
    out.bits(static_cast<std::uint32_t>(length - lengthBase[l]), lengthExtra[l]);
    int d = 29;
    while (distanceBase[d] > distance)
        --d;
    out.code(static_cast<std::uint32_t>(d), 5);
    out.bits(static_cast<std::uint32_t>(distance - distanceBase[d]), distanceExtra[d]);
}

// One final fixed-Huffman block.
std::vector<std::uint8_t> deflate(const std::vector<std::uint8_t>& data, int rowBytes) {
    BitWriter out;
    out.bits(1, 1);  // last block
    out.bits(1, 2);  // fixed codes
    const int distances[] = {4, rowBytes};
    std::size_t i = 0;
    while (i < data.size()) {
        int bestLength = 0;
        int bestDistance = 0;
        for (const int distance : distances) {
            if (distance > 32768 || static_cast<std::size_t>(distance) > i) continue;
            int length = 0;
            while (length < 258 && i + length < data.size() &&
                   data[i + length] == data[i + length - distance]) {
                ++length;
            }
            if (length > bestLength) {
                bestLength = length;
                bestDistance = distance;
            }
        }
        if (bestLength >= 3) {
            writeMatch(out, bestLength, bestDistance);
            i += static_cast<std::size_t>(bestLength);
        } else {
            writeLiteralOrLength(out, data[i]);
            ++i;
        }
    }
    writeLiteralOrLength(out, 256);
    return out.finish();
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t adler32(const std::vector<std::uint8_t>& data) {
    std::uint32_t a = 1, b = 0;
    for (const std::uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putChunk(std::vector<std::uint8_t>& png, const char* type,
              const std::vector<std::uint8_t>& data) {
    putBigEndian(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    putBigEndian(png, crc32(&png[start], png.size() - start));
}

std::vector<std::uint8_t> encodePng(const std::vector<std::uint8_t>& pixels, int size) {
    const int rowBytes = 1 + size * 4;
    std::vector<std::uint8_t> rows;
    rows.reserve(static_cast<std::size_t>(rowBytes) * size);
    for (int y = 0; y < size; ++y) {
        rows.push_back(0);  // filter: none
        const auto row = pixels.begin() + static_cast<std::ptrdiff_t>(y) * size * 4;
        rows.insert(rows.end(), row, row + size * 4);
    }
    std::vector<std::uint8_t> zlib = {0x78, 0x01};
    const std::vector<std::uint8_t> compressed = deflate(rows, rowBytes);
    zlib.insert(zlib.end(), compressed.begin(), compressed.end());
    putBigEndian(zlib, adler32(rows));

    std::vector<std::uint8_t> header;
    putBigEndian(header, static_cast<std::uint32_t>(size));
    putBigEndian(header, static_cast<std::uint32_t>(size));
    header.insert(header.end(),
                  {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter set, no interlace

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", zlib);
    putChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> buildIcon(const Drawing& drawing) {
    std::vector<std::vector<std::uint8_t>> images;
    for (const int size : drawing.sizes)
        images.push_back(encodePng(render(drawing, size), size));

    std::vector<std::uint8_t> ico;
    putLittleEndian(ico, 0, 2);  // reserved
    putLittleEndian(ico, 1, 2);  // icon
    putLittleEndian(ico, static_cast<std::uint32_t>(images.size()), 2);
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = drawing.sizes[i];
        ico.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));  // width
        ico.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));  // height
        ico.push_back(0);                                                  // no palette
        ico.push_back(0);                                                  // reserved
        putLittleEndian(ico, 1, 2);                                        // planes
        putLittleEndian(ico, 32, 2);                                       // bits per pixel
        putLittleEndian(ico, static_cast<std::uint32_t>(images[i].size()), 4);
        putLittleEndian(ico, offset, 4);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images)
        ico.insert(ico.end(), image.begin(), image.end());
    return ico;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: icon_generator drawing.txt out.ico\n";
        return 2;
    }
    try {
        std::ifstream in(argv[1]);
        if (!in) throw std::runtime_error("cannot read the drawing");
        const std::vector<std::uint8_t> ico = buildIcon(parseDrawing(in));
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(ico.data()),
                  static_cast<std::streamsize>(ico.size()));
        if (!out) throw std::runtime_error("cannot write the icon");
    } catch (const std::exception& failure) {
        std::cerr << argv[1] << ": " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
