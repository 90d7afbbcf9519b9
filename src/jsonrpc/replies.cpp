#include "jsonrpc/replies.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "jsonrpc/id_text.h"
#include "jsonrpc/json.h"

namespace jsonrpc {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The parser takes numbers just beyond the double range as infinite, and the writer writes
// nothing for those; a number text that reads as infinite again, here too, keeps the output valid
// JSON. (An exponent above 308 would be a parse error here.)
void writeDouble(double number, JsonWriter& writer) {
    if (std::isfinite(number)) {
        writer.Double(number);
    } else if (number > 0) {
        writer.RawValue("2e308", 5, rapidjson::kNumberType);
    } else {
        writer.RawValue("-2e308", 6, rapidjson::kNumberType);
    }
}

// Whether the three bytes at `at` are the form of a surrogate, which a parse makes of a lone
// surrogate escape. The last byte must continue the sequence: an invalid byte run such as ED AD ED
// is no surrogate, and taking it for one would turn the next byte into part of an escape.
bool surrogateAt(std::string_view text, std::size_t at) {
    return at + 2 < text.size() && static_cast<unsigned char>(text[at]) == 0xED &&
           (static_cast<unsigned char>(text[at + 1]) & 0xE0) == 0xA0 &&
           (static_cast<unsigned char>(text[at + 2]) & 0xC0) == 0x80;
}

bool holdsSurrogate(std::string_view text) {
    for (std::size_t at = 0; at + 2 < text.size(); ++at) {
        if (surrogateAt(text, at)) return true;
    }
    return false;
}

// A string (or key), with any surrogate written back as the escape it was read from, so that the
// text stays what the peer wrote rather than bytes that are not UTF-8.
void writeString(const char* text, std::size_t length, JsonWriter& writer) {
    if (!holdsSurrogate(std::string_view(text, length))) {
        writer.String(text, static_cast<rapidjson::SizeType>(length));
        return;
    }
    rapidjson::StringBuffer plain;
    JsonWriter plainWriter(plain);
    plainWriter.String(text, static_cast<rapidjson::SizeType>(length));
    const std::string_view written(plain.GetString(), plain.GetSize());
    std::string escaped;
    for (std::size_t at = 0; at < written.size(); ++at) {
        if (surrogateAt(written, at)) {
            const unsigned unit = 0xD000u |
                                  ((static_cast<unsigned char>(written[at + 1]) & 0x3Fu) << 6) |
                                  (static_cast<unsigned char>(written[at + 2]) & 0x3Fu);
            char hex[7];
            std::snprintf(hex, sizeof hex, "\\u%04x", unit);
            escaped.append(hex, 6);
            at += 2;
        } else {
            escaped += written[at];
        }
    }
    writer.RawValue(escaped.data(), escaped.size(), rapidjson::kStringType);
}

void writeScalar(const rapidjson::Value& value, JsonWriter& writer) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
            writer.Null();
            break;
        case rapidjson::kFalseType:
            writer.Bool(false);
            break;
        case rapidjson::kTrueType:
            writer.Bool(true);
            break;
        case rapidjson::kStringType:
            writeString(value.GetString(), value.GetStringLength(), writer);
            break;
        default:
            if (value.IsDouble())
                writeDouble(value.GetDouble(), writer);
            else if (value.IsInt())
                writer.Int(value.GetInt());
            else if (value.IsUint())
                writer.Uint(value.GetUint());
            else if (value.IsInt64())
                writer.Int64(value.GetInt64());
            else
                writer.Uint64(value.GetUint64());
            break;
    }
}

}  // namespace

std::string errorReply(std::string_view idText, std::int32_t code, std::string_view message) {
    std::string reply;
    reply.reserve(64 + idText.size() + message.size());
    reply += "{\"jsonrpc\":\"2.0\",\"id\":";
    reply += idText;
    reply += ",\"error\":{\"code\":";
    reply += std::to_string(code);
    reply += ",\"message\":\"";
    reply += message;
    reply += "\"}}";
    return reply;
}

// The same text as RapidJSON's Value::Accept writes, but walked with an explicit stack: Accept
// recurses once per nesting level, and the app's texts may nest without limit.
std::string toJsonText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    struct Frame {
        const rapidjson::Value* container;
        rapidjson::SizeType next;
    };
    std::vector<Frame> stack;
    const rapidjson::Value* current = &value;
    for (;;) {
        if (current != nullptr) {
            if (current->IsObject()) {
                writer.StartObject();
                stack.push_back({current, 0});
            } else if (current->IsArray()) {
                writer.StartArray();
                stack.push_back({current, 0});
            } else {
                writeScalar(*current, writer);
            }
        }
        if (stack.empty()) break;
        Frame& top = stack.back();
        current = nullptr;
        if (top.container->IsObject()) {
            if (top.next < top.container->MemberCount()) {
                const auto member = top.container->MemberBegin() + top.next++;
                writeString(member->name.GetString(), member->name.GetStringLength(), writer);
                current = &member->value;
            } else {
                writer.EndObject(top.next);
                stack.pop_back();
            }
        } else if (top.next < top.container->Size()) {
            current = &(*top.container)[top.next++];
        } else {
            writer.EndArray(top.next);
            stack.pop_back();
        }
        if (current == nullptr && stack.empty()) break;
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string quoteJsonString(std::string_view text) {
    const rapidjson::Value value(rapidjson::StringRef(text.data(), text.size()));
    return toJsonText(value);
}

std::string noReplyResponder(const std::string& idText, const std::string& /*method*/) {
    return errorReply(idText, -32603, "The app sent no JSON-RPC reply");
}

Responder rejectionResponder(const std::string& message) {
    return [&message](const std::string& idText, const std::string& /*method*/) {
        return errorReply(idText, -32603, message);
    };
}

std::string repairErrorId(const std::string& line, const std::string& idText) {
    rapidjson::Document reply;
    parseJson(reply, line);
    return repairErrorId(reply, line, idText);
}

std::string repairErrorId(rapidjson::Document& reply, const std::string& line,
                          const std::string& idText) {
    if (reply.HasParseError() || !reply.IsObject()) return line;
    if (!reply.HasMember("error")) return line;
    const auto id = reply.FindMember("id");
    if (id == reply.MemberEnd() || !id->value.IsNull()) return line;
    // The id text goes in as it is, so it must be one JSON text that keeps the line one line.
    if (idText.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return line;
    rapidjson::Document hostId;
    parseJson(hostId, idText);
    if (hostId.HasParseError()) return line;
    // The host's id goes in as the host wrote it, in place of the null of the compact text.
    std::string repaired = toJsonText(reply);
    const std::optional<std::string_view> null = memberText(repaired, "id");
    if (!null) return line;
    repaired.replace(static_cast<std::size_t>(null->data() - repaired.data()), null->size(),
                     idText);
    return repaired;
}

}  // namespace jsonrpc
