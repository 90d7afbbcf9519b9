#include "jsonrpc/screening.h"

#include <cstring>
#include <vector>

#include "jsonrpc/id_text.h"

namespace jsonrpc {

namespace {

constexpr char kNullId[] = "null";

std::string invalidRequest(const char* message) {
    return errorReply(kNullId, -32600, message);
}

}  // namespace

std::string methodOf(const rapidjson::Value& message) {
    if (!message.IsObject()) return {};
    const auto method = message.FindMember("method");
    if (method == message.MemberEnd() || !method->value.IsString()) return {};
    const char* text = method->value.GetString();
    const std::size_t length = method->value.GetStringLength();
    const void* nul = std::memchr(text, '\0', length);
    return std::string(text, nul == nullptr ? length : static_cast<const char*>(nul) - text);
}

bool hasJsonRpcVersion(const rapidjson::Value& message) {
    const auto version = message.FindMember("jsonrpc");
    return version != message.MemberEnd() && version->value.IsString() &&
           version->value.GetStringLength() == 3 &&
           std::memcmp(version->value.GetString(), "2.0", 3) == 0;
}

std::string screenMessage(const rapidjson::Value& message, std::string_view text,
                          const Responder& responder) {
    const auto id = message.FindMember("id");
    const bool hasId = id != message.MemberEnd();
    const bool isResponse = message.HasMember("result") || message.HasMember("error");
    const std::string method = methodOf(message);
    const bool validId = hasId && isValidId(id->value);

    if (!hasJsonRpcVersion(message)) {
        if (!hasId && isResponse) return {};
        return errorReply(validId ? idTextOf(message, text) : kNullId, -32600,
                          "Invalid JSON-RPC version");
    }
    if (!hasId) {
        if (!method.empty() || isResponse) return {};
        return invalidRequest("Invalid Request: a notification needs a method name");
    }
    if (method.empty() && isResponse) return {};
    if (!validId) return invalidRequest("The id must be a string or a number");
    const std::string idText = idTextOf(message, text);
    if (method.empty()) return errorReply(idText, -32600, "The request has no method");
    return responder(idText, method);
}

std::string screenBatch(const rapidjson::Value& batch, std::string_view text,
                        const Responder& responder) {
    if (batch.Empty()) return invalidRequest("Invalid Request: the batch is empty");
    const std::vector<std::string_view> elementText = elementTexts(text);
    std::string joined;
    for (rapidjson::SizeType index = 0; index < batch.Size(); ++index) {
        const rapidjson::Value& element = batch[index];
        const std::string_view own = index < elementText.size() ? elementText[index] : "";
        std::string reply = element.IsObject()
                                ? screenMessage(element, own, responder)
                                : invalidRequest("Invalid Request: a batch item is not an object");
        if (reply.empty()) continue;
        joined += joined.empty() ? '[' : ',';
        joined += reply;
    }
    if (!joined.empty()) joined += ']';
    return joined;
}

std::string screenDocument(const rapidjson::Document& document, std::string_view line,
                           const Responder& responder) {
    if (document.HasParseError()) {
        return errorReply(kNullId, -32700, "Parse error: the message is not valid JSON");
    }
    if (document.IsArray()) return screenBatch(document, line, responder);
    if (document.IsObject()) return screenMessage(document, line, responder);
    return invalidRequest("Invalid Request: expected a JSON object or array");
}

}  // namespace jsonrpc
