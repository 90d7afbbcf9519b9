#include "applink/reply_texts.h"

#include <algorithm>

#include "jsonrpc/json.h"

std::string toSingleLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

bool isJsonRpcText(const std::string& text) {
    // A raw NUL byte is never part of a JSON text, though the parser would stop at it.
    if (text.find('\0') != std::string::npos) return false;
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    if (document.HasParseError()) return false;
    return document.IsArray() || (document.IsObject() && document.HasMember("jsonrpc"));
}
