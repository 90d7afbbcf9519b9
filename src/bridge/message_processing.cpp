// What happens to one host message once it is routed: initialize is answered here, the
// initialized notification is swallowed, and everything else goes to the app, with the bridge
// answering in the app's place when the app can't be used.
#include <stdexcept>

#include "applink/forwarding.h"
#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxAttempts = 3;

// A JSON-RPC response: a non-empty array, or an object with "result" or "error".
bool isResponse(const rapidjson::Document& reply) {
    if (reply.HasParseError()) return false;
    if (reply.IsArray()) return !reply.Empty();
    return reply.IsObject() && (reply.HasMember("result") || reply.HasMember("error"));
}

// Makes `parent[name]` an object, replacing whatever else stands there, and returns it.
rapidjson::Value& objectMember(rapidjson::Value& parent, const char* name,
                               rapidjson::Document::AllocatorType& allocator) {
    auto member = parent.FindMember(name);
    if (member != parent.MemberEnd() && member->value.IsObject()) return member->value;
    if (member != parent.MemberEnd()) parent.RemoveMember(member);
    parent.AddMember(rapidjson::StringRef(name), rapidjson::Value(rapidjson::kObjectType),
                     allocator);
    return (parent.MemberEnd() - 1)->value;
}

}  // namespace

void McpBridge::handle(const std::string& line) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, line);
    const std::string method = jsonrpc::methodOf(document);
    std::string idText = "null";
    if (document.IsObject()) {
        const auto id = document.FindMember("id");
        if (id != document.MemberEnd()) idText = jsonrpc::toJsonText(id->value);
    }

    if (method == "initialize") {
        const auto params = document.FindMember("params");
        answerInitialize(
            idText, params != document.MemberEnd() ? jsonrpc::toJsonText(params->value) : "{}");
        return;
    }
    if (method == "notifications/initialized") return;

    try {
        relayToApp(line, document, idText);
    } catch (const RejectedError& rejection) {
        const std::string message = rejection.what();
        writeError(message);
        answerMessage(document, jsonrpc::rejectionResponder(message));
    } catch (const std::exception& failure) {
        writeError(failure.what());
        answerMessage(document, [this](const std::string& id, const std::string& name) {
            return offlineAnswer(id, name);
        });
    }
}

void McpBridge::relayToApp(const std::string& line, const rapidjson::Document& document,
                           const std::string& idText) {
    bool expectsReply = false;
    if (document.IsObject() && jsonrpc::hasJsonRpcVersion(document) &&
        !jsonrpc::methodOf(document).empty()) {
        const auto id = document.FindMember("id");
        expectsReply = id != document.MemberEnd() && jsonrpc::isValidId(id->value);
    }

    std::optional<std::vector<std::string>> replies;
    for (int attempts = 0; !replies; ++attempts) {
        if (attempts == kMaxAttempts) throw std::runtime_error("The app rejected the session");
        if (!ensureSession(true)) throw std::runtime_error("The app is not available");
        replies = forwardToApp(line);
    }

    bool replySeen = false;
    for (const std::string& reply : *replies) {
        // One parse serves both the response check and the id repair.
        if (!replySeen || expectsReply) {
            rapidjson::Document parsed;
            jsonrpc::parseJson(parsed, reply);
            if (!replySeen) replySeen = isResponse(parsed);
            if (expectsReply) {
                writer(jsonrpc::repairErrorId(parsed, reply, idText));
                continue;
            }
        }
        writer(reply);
    }
    if (!replySeen && (expectsReply || document.IsArray())) {
        answerMessage(document, jsonrpc::noReplyResponder);
    }
}

void McpBridge::answerInitialize(const std::string& idText, const std::string& paramsText) {
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        hostInitializeParams = paramsText;
    }
    const std::optional<std::string> appResult = ensureSession(false);

    rapidjson::Document result;
    jsonrpc::parseJson(result, appResult ? *appResult : config.snapshot.initializeJson);
    if (result.HasParseError() || !result.IsObject()) result.SetObject();
    auto& allocator = result.GetAllocator();
    rapidjson::Value& capabilities = objectMember(result, "capabilities", allocator);
    rapidjson::Value& tools = objectMember(capabilities, "tools", allocator);
    tools.RemoveMember("listChanged");
    tools.AddMember("listChanged", true, allocator);

    writer("{\"jsonrpc\":\"2.0\",\"id\":" + idText + ",\"result\":" + jsonrpc::toJsonText(result) +
           "}");
}

void McpBridge::answerMessage(const rapidjson::Document& document,
                              const jsonrpc::Responder& responder) {
    const std::string reply = jsonrpc::screenDocument(document, responder);
    if (!reply.empty()) writer(reply);
}

void McpBridge::writeError(const std::string& message) {
    platform::writeStandardError(message + "\n");
}
