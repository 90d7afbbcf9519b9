#include "applink/forwarding.h"

#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"

namespace {

// Forwarded host messages may wait a day for the app's data.
constexpr std::int64_t kForwardReadTimeoutMs = 86'400'000;

bool namesSameApp(const DiscoveryInfo& info, const AppSession& session) {
    return info.host == session.host && info.port == session.port && info.path == session.path &&
           info.authToken == session.authToken && info.pid == session.pid;
}

bool holdsJsonRpcObject(const std::vector<std::string>& messages) {
    for (const std::string& text : messages) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, text);
        if (!document.HasParseError() && document.IsObject() && document.HasMember("jsonrpc")) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::vector<std::string>> McpBridge::forwardToApp(const std::string& line) {
    const std::optional<AppSession> session = currentSession();
    if (!session) return std::nullopt;
    const std::optional<DiscoveryInfo> discovery = readDiscovery();
    if (!discovery || !namesSameApp(*discovery, *session)) {
        dropSession(*session);
        return std::nullopt;
    }
    AppReply reply = sendToApp(*session, &line, kForwardReadTimeoutMs);
    if (reply.status == 0) {
        dropSession(*session);
        if (reply.connected) throw std::runtime_error("The connection to the app was lost");
        return std::nullopt;
    }
    if (reply.status == 401 || reply.status == 404) {
        dropSession(*session);
        return std::nullopt;
    }
    if (reply.status >= 400 && !holdsJsonRpcObject(reply.messages)) {
        throw RejectedError(reply.status);
    }
    return std::move(reply.messages);
}
