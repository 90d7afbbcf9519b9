// How the bridge parses JSON text. Every parse uses RapidJSON's strict default grammar; the
// iterative parser accepts exactly the same texts but keeps deep nesting off the call stack, so a
// peer's deeply nested text can't overflow a thread's stack.
//
// Two kinds of valid JSON that RapidJSON refuses are accepted as well, so that such a message is
// judged and routed like any other: a string escape of a lone surrogate ("\ud800", which
// JavaScript writes for a broken emoji), read as the surrogate's three-byte form, and a number
// past the double range (1e400), read as infinite.
#pragma once

#include <rapidjson/document.h>

#include <string>

namespace jsonrpc {

constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

// Parses a NUL-terminated text: a NUL byte inside `text` ends the JSON text there.
void parseJson(rapidjson::Document& document, const char* text);

inline void parseJson(rapidjson::Document& document, const std::string& text) {
    parseJson(document, text.c_str());
}

// The text with what RapidJSON refuses in valid JSON rewritten into what it accepts: lone
// surrogate escapes as their three-byte form, numbers at or past 1e300 (or with more than 300
// digits) as their nearest double, infinite ones as 2e308. Read up to the first NUL.
std::string tolerableJson(const char* text);

}  // namespace jsonrpc
