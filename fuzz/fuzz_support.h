// What the fuzz targets share: the check that a text is one JSON text on one line, and the way a
// target reports a broken property (a message, then abort, which libFuzzer records as a crash).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace fuzzing {

[[noreturn]] inline void fail(const char* property, std::string_view detail = {}) {
    std::fprintf(stderr, "\nPROPERTY BROKEN: %s\n", property);
    if (!detail.empty()) {
        std::fprintf(stderr, "  detail (%zu bytes): %.*s\n", detail.size(),
                     static_cast<int>(detail.size() > 2000 ? 2000 : detail.size()), detail.data());
    }
    std::abort();
}

inline std::string bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Strict JSON over the whole text: no raw NUL, CR or LF anywhere, nothing after the value.
inline bool isOneJsonLine(const std::string& text) {
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return false;
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    return !document.HasParseError();
}

// RapidJSON's own compact writer (recursive Accept), independent of the bridge's toJsonText.
inline std::string compactText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// The text before the first NUL byte: what a parse of a NUL-terminated string sees.
inline std::string_view beforeNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace fuzzing
