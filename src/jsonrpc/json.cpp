#include "jsonrpc/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace jsonrpc {

namespace {

// Past these, RapidJSON reports a number as too big; below them it reads every number itself.
constexpr std::size_t kMostDigits = 300;
constexpr int kLargestExponent = 300;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of a \uXXXX escape starting at `at` (the backslash), or -1.
long escapedUnit(const char* text, std::size_t at) {
    if (text[at] != '\\' || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t digit = 2; digit < 6; ++digit) {
        const int value = hexValue(text[at + digit]);  // stops at the NUL: it has no hex value
        if (value < 0) return -1;
        unit = unit * 16 + value;
    }
    return unit;
}

void appendThreeByteForm(std::string& out, long unit) {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
}

// Length of the JSON number at the start of `text`, 0 when none stands there.
std::size_t numberLength(std::string_view text, std::size_t& integerDigits, int& exponent) {
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at - start;
    };
    if (at < text.size() && text[at] == '-') ++at;
    integerDigits = digits();
    if (integerDigits == 0 || (integerDigits > 1 && text[at - integerDigits] == '0')) return 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (digits() == 0) return 0;
    }
    exponent = 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        bool negative = false;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
        const std::size_t start = at;
        if (digits() == 0) return 0;
        for (std::size_t d = start; d < at && exponent <= kLargestExponent; ++d)
            exponent = exponent * 10 + (text[d] - '0');
        if (negative) exponent = -exponent;
    }
    return at;
}

void appendNumber(std::string& out, std::string_view number) {
    const double value = std::strtod(std::string(number).c_str(), nullptr);
    if (std::isinf(value)) {
        out += value > 0 ? "2e308" : "-2e308";
        return;
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace

std::string tolerableJson(const char* text) {
    const std::size_t size = std::strlen(text);
    const std::string_view all(text, size);
    std::string out;
    out.reserve(size);
    bool inString = false;
    for (std::size_t at = 0; at < size;) {
        const char c = text[at];
        if (inString) {
            if (c == '"') inString = false;
            if (c != '\\') {
                out += c;
                ++at;
                continue;
            }
            const long unit = escapedUnit(text, at);
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const long next = escapedUnit(text, at + 6);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    out.append(text + at, 12);
                    at += 12;
                } else {
                    appendThreeByteForm(out, unit);
                    at += 6;
                }
                continue;
            }
            // Any other escape: the backslash and the byte after it (none at the end).
            const std::size_t length = at + 1 < size ? 2 : 1;
            out.append(text + at, length);
            at += length;
            continue;
        }
        if (c == '"') inString = true;
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t integerDigits = 0;
            int exponent = 0;
            const std::size_t length = numberLength(all.substr(at), integerDigits, exponent);
            if (length > 0) {
                const std::string_view number = all.substr(at, length);
                if (integerDigits > kMostDigits || exponent > kLargestExponent)
                    appendNumber(out, number);
                else
                    out += number;
                at += length;
                continue;
            }
        }
        out += c;
        ++at;
    }
    return out;
}

void parseJson(rapidjson::Document& document, const char* text) {
    document.Parse<kParseFlags>(text);
    if (!document.HasParseError()) return;
    const rapidjson::ParseErrorCode error = document.GetParseError();
    if (error != rapidjson::kParseErrorStringUnicodeSurrogateInvalid &&
        error != rapidjson::kParseErrorNumberTooBig) {
        return;
    }
    document.Parse<kParseFlags>(tolerableJson(text).c_str());
}

}  // namespace jsonrpc
