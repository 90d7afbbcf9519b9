// What the fuzz targets share: the check that a text is one JSON text on one line, and the way a
// target reports a broken property (a message, then abort, which libFuzzer records as a crash).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jsonrpc/json.h"
#include "main/line_writer.h"

namespace fuzzing {

[[noreturn]] inline void fail(const char* property, std::string_view detail = {}) {
    std::fprintf(stderr, "\nPROPERTY BROKEN: %s\n", property);
    if (!detail.empty()) {
        std::fprintf(stderr, "  detail (%zu bytes): %.*s\n", detail.size(),
                     static_cast<int>(detail.size() > 2000 ? 2000 : detail.size()), detail.data());
    }
    std::abort();
}

// Whether the text holds a surrogate's three-byte form. The bridge writes one as the escape it was
// read from (raw in the input, or a lone low surrogate escape, which parses as it stands), where
// RapidJSON's own writer, which the oracles use, writes the bytes: the oracles can't tell the
// bridge's exact text for such a string.
inline bool holdsSurrogateForm(std::string_view text) {
    for (std::size_t at = 0; at + 2 < text.size(); ++at) {
        if (static_cast<unsigned char>(text[at]) == 0xED &&
            static_cast<unsigned char>(text[at + 1]) >= 0xA0 &&
            static_cast<unsigned char>(text[at + 1]) <= 0xBF &&
            static_cast<unsigned char>(text[at + 2]) >= 0x80 &&
            static_cast<unsigned char>(text[at + 2]) <= 0xBF) {
            return true;
        }
    }
    return false;
}

// Whether the text holds the escape of a surrogate, which is how the bridge writes one; two in a
// row read back as one character of a pair.
inline bool holdsSurrogateEscape(std::string_view text) {
    for (std::size_t at = text.find("\\u"); at != std::string_view::npos;
         at = text.find("\\u", at + 1)) {
        if (at + 3 < text.size() && (text[at + 2] == 'd' || text[at + 2] == 'D') &&
            std::string_view("89abcdefABCDEF").find(text[at + 3]) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

inline std::string bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// JSON over the whole text: no raw NUL, CR or LF anywhere, nothing after the value.
inline bool isOneJsonLine(const std::string& text) {
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return false;
    // With the bridge's parse: valid JSON that RapidJSON refuses (a lone surrogate escape, a number
    // past the double range) is still one JSON text.
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    return !document.HasParseError();
}

// RapidJSON's compact writer, except that a number the parser took as infinite (one just past the
// double range) is written as a number that reads as infinite again.
struct OracleWriter : rapidjson::Writer<rapidjson::StringBuffer> {
    using rapidjson::Writer<rapidjson::StringBuffer>::Writer;
    bool sawNonFinite = false;
    bool Double(double number) {
        if (std::isfinite(number)) return Writer::Double(number);
        sawNonFinite = true;
        return RawValue(number > 0 ? "2e308" : "-2e308", number > 0 ? 5 : 6,
                        rapidjson::kNumberType);
    }
};

// The compact text by RapidJSON's own recursive Accept, independent of the bridge's toJsonText.
// `nonFinite`, when given, tells whether a number was infinite (or NaN: RapidJSON's full-precision
// parser reads numbers past the double range as NaN, not as infinity).
inline std::string compactText(const rapidjson::Value& value, bool* nonFinite = nullptr) {
    rapidjson::StringBuffer buffer;
    OracleWriter writer(buffer);
    value.Accept(writer);
    if (nonFinite != nullptr) *nonFinite = writer.sawNonFinite;
    return std::string(buffer.GetString(), buffer.GetSize());
}

// A host line as the input framing hands it over: up to the first line feed, one trailing CR
// removed; nothing when that leaves it empty.
inline std::optional<std::string> hostLine(std::string input) {
    input = input.substr(0, input.find('\n'));
    if (!input.empty() && input.back() == '\r') input.pop_back();
    if (input.empty()) return std::nullopt;
    return input;
}

// A writer that records every line the bridge writes, from any thread.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    LineWriter writer() {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
};

// The text before the first NUL byte: what a parse of a NUL-terminated string sees.
inline std::string_view beforeNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace fuzzing
