// The tool-call queue: tool calls run one at a time, in arrival order, on one worker thread, and a
// call still waiting can be withdrawn by "notifications/cancelled".
#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"

void McpBridge::enqueueToolCall(const std::string& line) {
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        toolCalls.push_back(line);
        ++inFlight;
    }
    workReady.notify_all();
}

void McpBridge::workerLoop() {
    std::unique_lock<std::mutex> lock(stateMutex);
    for (;;) {
        workReady.wait(lock, [this] { return stopping || !toolCalls.empty(); });
        if (stopping) return;
        std::string line = std::move(toolCalls.front());
        toolCalls.pop_front();
        lock.unlock();
        handle(line);
        lock.lock();
        --inFlight;
        idle.notify_all();
    }
}

bool McpBridge::cancelQueued(const rapidjson::Document& document) {
    if (jsonrpc::methodOf(document) != "notifications/cancelled") return false;
    if (document.HasMember("id")) return false;
    const auto params = document.FindMember("params");
    if (params == document.MemberEnd() || !params->value.IsObject()) return false;
    const auto requestId = params->value.FindMember("requestId");
    if (requestId == params->value.MemberEnd()) return false;
    const rapidjson::Value& target = requestId->value;
    if (!target.IsString() && !target.IsInt64() && !target.IsUint64()) return false;

    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        for (auto queued = toolCalls.begin(); queued != toolCalls.end(); ++queued) {
            rapidjson::Document call;
            jsonrpc::parseJson(call, *queued);
            if (call.HasParseError() || !call.IsObject()) continue;
            const auto id = call.FindMember("id");
            if (id == call.MemberEnd() || id->value != target) continue;
            toolCalls.erase(queued);
            --inFlight;
            idle.notify_all();
            return true;
        }
    }
    return false;
}
