// The MCP session with the app: opened on demand by replaying the host's initialize, shared by
// every message, dropped when the app no longer knows it, ended at the end of the run.
#include <chrono>

#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"
#include "platform/platform.h"

namespace {

constexpr std::int64_t kBackOffNs = 2'000'000'000;
const std::string kInitializedBody = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
const std::string kToolListBody = R"({"jsonrpc":"2.0","id":0,"method":"tools/list"})";
constexpr char kListChanged[] = R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})";

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The first text that is an object whose "result" is an object, as a parsed document.
bool findResultObject(const std::vector<std::string>& messages, rapidjson::Document& found) {
    for (const std::string& text : messages) {
        jsonrpc::parseJson(found, text);
        if (found.HasParseError() || !found.IsObject()) continue;
        const auto result = found.FindMember("result");
        if (result != found.MemberEnd() && result->value.IsObject()) return true;
    }
    return false;
}

}  // namespace

std::optional<DiscoveryInfo> McpBridge::readDiscovery() const {
    return readDiscoveryFile(config.discoveryPath, platform::readWholeFile);
}

std::optional<AppSession> McpBridge::currentSession() {
    const std::lock_guard<std::mutex> lock(stateMutex);
    return appSession;
}

void McpBridge::dropSession(const AppSession& session) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    if (appSession && appSession->generation == session.generation) appSession.reset();
}

void McpBridge::noteSessionFailure() {
    const std::lock_guard<std::mutex> lock(stateMutex);
    ++failureCount;
    backingOff = true;
    lastFailureTime = steadyNowNs();
}

std::optional<std::string> McpBridge::ensureSession(bool refreshTools) {
    std::int32_t failuresBefore = 0;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (appSession) return initializeResult;
        if (backingOff && steadyNowNs() - lastFailureTime < kBackOffNs) return std::nullopt;
        failuresBefore = failureCount;
    }
    const std::lock_guard<std::mutex> opening(connectMutex);
    std::string params;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (appSession) return initializeResult;
        if (failureCount != failuresBefore) return std::nullopt;
        params = hostInitializeParams;
    }

    const std::optional<DiscoveryInfo> discovery = readDiscovery();
    if (!discovery) return std::nullopt;
    AppSession session{discovery->host,
                       discovery->port,
                       discovery->path,
                       discovery->authToken,
                       std::string(),
                       discovery->pid,
                       0};

    const std::string initializeBody =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":)" + params + "}";
    const AppReply reply = sendToApp(session, &initializeBody, config.requestTimeoutMs);
    rapidjson::Document answer;
    if (reply.status != 200 || !findResultObject(reply.messages, answer)) {
        noteSessionFailure();
        return std::nullopt;
    }
    std::string result = jsonrpc::toJsonText(answer["result"]);
    session.sessionId = reply.sessionId;

    sendToApp(session, &kInitializedBody, config.requestTimeoutMs);
    if (refreshTools) refreshToolList(session);

    const std::lock_guard<std::mutex> lock(stateMutex);
    backingOff = false;
    session.generation = ++sessionCounter;
    appSession = std::move(session);
    initializeResult = std::move(result);
    return initializeResult;
}

void McpBridge::refreshToolList(const AppSession& session) {
    const AppReply reply = sendToApp(session, &kToolListBody, config.requestTimeoutMs);
    if (reply.status != 200) return;
    rapidjson::Document recorded;
    jsonrpc::parseJson(recorded, config.snapshot.toolsJson);
    rapidjson::Document answer;
    if (!findResultObject(reply.messages, answer)) return;
    const rapidjson::Value& result = answer["result"];
    const auto tools = result.FindMember("tools");
    if (tools == result.MemberEnd() ||
        tools->value != static_cast<const rapidjson::Value&>(recorded)) {
        writer(kListChanged);
    }
}

void McpBridge::closeSession() {
    const std::optional<AppSession> session = currentSession();
    if (!session || session->sessionId.empty()) return;
    sendToApp(*session, nullptr, config.requestTimeoutMs);
}
