// How the bridge parses JSON text. Every parse uses RapidJSON's strict default grammar; the
// iterative parser accepts exactly the same texts but keeps deep nesting off the call stack, so a
// peer's deeply nested text can't overflow a thread's stack.
#pragma once

#include <rapidjson/document.h>

#include <string>

namespace jsonrpc {

constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

// Parses a NUL-terminated text: a NUL byte inside `text` ends the JSON text there.
inline void parseJson(rapidjson::Document& document, const char* text) {
    document.Parse<kParseFlags>(text);
}

inline void parseJson(rapidjson::Document& document, const std::string& text) {
    parseJson(document, text.c_str());
}

}  // namespace jsonrpc
