#include "jsonrpc/id_text.h"

#include "jsonrpc/replies.h"

namespace jsonrpc {

namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t skipBlanks(std::string_view text, std::size_t at) {
    while (at < text.size() && isBlank(text[at]))
        ++at;
    return at;
}

// Just past the closing quotation mark of the string that opens at `at`.
std::size_t stringEnd(std::string_view text, std::size_t at) {
    for (++at; at < text.size(); ++at) {
        if (text[at] == '\\')
            ++at;
        else if (text[at] == '"')
            return at + 1;
    }
    return kNone;
}

// Just past the value that starts at `at`. Containers are walked with a counter, not recursion:
// a text may nest without limit.
std::size_t valueEnd(std::string_view text, std::size_t at) {
    if (at >= text.size()) return kNone;
    const char first = text[at];
    if (first == '"') return stringEnd(text, at);
    if (first == '{' || first == '[') {
        std::size_t depth = 0;
        while (at < text.size()) {
            const char c = text[at];
            if (c == '"') {
                at = stringEnd(text, at);
                if (at == kNone) return kNone;
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            if ((c == '}' || c == ']') && --depth == 0) return at + 1;
            ++at;
        }
        return kNone;
    }
    const std::size_t start = at;
    while (at < text.size() && !isBlank(text[at]) && text[at] != ',' && text[at] != '}' &&
           text[at] != ']')
        ++at;
    return at == start ? kNone : at;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether the written key (between its quotation marks) reads as the ASCII text `name`.
bool keyReads(std::string_view key, std::string_view name) {
    std::size_t matched = 0;
    for (std::size_t at = 0; at < key.size(); ++at) {
        unsigned code = static_cast<unsigned char>(key[at]);
        if (code == '\\' && at + 1 < key.size()) {
            const char escape = key[++at];
            if (escape == 'u') {
                if (at + 4 >= key.size()) return false;
                code = 0;
                for (int digit = 0; digit < 4; ++digit) {
                    const int value = hexValue(key[++at]);
                    if (value < 0) return false;
                    code = code * 16 + static_cast<unsigned>(value);
                }
            } else {
                constexpr std::string_view kFrom = "\"\\/bfnrt";
                constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
                const std::size_t which = kFrom.find(escape);
                if (which == kNone) return false;
                code = static_cast<unsigned char>(kTo[which]);
            }
        }
        if (matched == name.size() || code != static_cast<unsigned char>(name[matched])) {
            return false;
        }
        ++matched;
    }
    return matched == name.size();
}

// The text before the first NUL, which is all that a parse reads.
std::string_view parsedPart(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

std::optional<std::string_view> memberText(std::string_view objectText, std::string_view name) {
    const std::string_view text = parsedPart(objectText);
    std::size_t at = skipBlanks(text, 0);
    if (at >= text.size() || text[at] != '{') return std::nullopt;
    for (;;) {
        at = skipBlanks(text, at + 1);
        if (at >= text.size() || text[at] != '"') return std::nullopt;
        const std::size_t keyEnd = stringEnd(text, at);
        if (keyEnd == kNone) return std::nullopt;
        const std::string_view key = text.substr(at + 1, keyEnd - at - 2);
        at = skipBlanks(text, keyEnd);
        if (at >= text.size() || text[at] != ':') return std::nullopt;
        const std::size_t start = skipBlanks(text, at + 1);
        const std::size_t end = valueEnd(text, start);
        if (end == kNone) return std::nullopt;
        if (keyReads(key, name)) return text.substr(start, end - start);
        at = skipBlanks(text, end);
        if (at >= text.size() || text[at] != ',') return std::nullopt;
    }
}

std::vector<std::string_view> elementTexts(std::string_view arrayText) {
    const std::string_view text = parsedPart(arrayText);
    std::vector<std::string_view> elements;
    std::size_t at = skipBlanks(text, 0);
    if (at >= text.size() || text[at] != '[') return {};
    at = skipBlanks(text, at + 1);
    if (at < text.size() && text[at] == ']') return {};
    for (;;) {
        const std::size_t end = valueEnd(text, at);
        if (end == kNone) return {};
        elements.push_back(text.substr(at, end - at));
        at = skipBlanks(text, end);
        if (at >= text.size()) return {};
        if (text[at] == ']') return elements;
        if (text[at] != ',') return {};
        at = skipBlanks(text, at + 1);
    }
}

std::string idTextOf(const rapidjson::Value& message, std::string_view messageText) {
    if (!message.IsObject()) return "null";
    const auto id = message.FindMember("id");
    if (id == message.MemberEnd()) return "null";
    const std::optional<std::string_view> written = memberText(messageText, "id");
    // A text that isn't the message's own (a caller's mistake) still gets a usable id.
    return written ? std::string(*written) : toJsonText(id->value);
}

}  // namespace jsonrpc
