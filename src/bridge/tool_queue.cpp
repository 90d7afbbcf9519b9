// The tool-call queue: tool calls run one at a time, in arrival order, on one worker thread, and a
// call still waiting can be withdrawn by "notifications/cancelled".
#include <chrono>
#include <system_error>

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

void McpBridge::workerLoop(std::int32_t generation) {
    std::unique_lock<std::mutex> lock(stateMutex);
    for (;;) {
        workReady.wait(lock, [&] {
            return stopping || !toolCalls.empty() || generation != workerGeneration;
        });
        if (stopping || generation != workerGeneration) return;
        std::string line = std::move(toolCalls.front());
        toolCalls.pop_front();
        runningCall = RunningCall{++callsTaken, line, false};
        lock.unlock();
        handle(line);
        lock.lock();
        // A worker that was replaced while its call ran leaves the queue to its successor; the call
        // was uncounted when it was given up on.
        if (generation != workerGeneration) return;
        runningCall.reset();
        --inFlight;
        idle.notify_all();
        callFinished.notify_all();
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
    cancelRunning(target);
    return false;
}

namespace {

// How long the app has to finish a running tool call after the host cancelled it.
constexpr auto kCancelledCallGrace = std::chrono::seconds(1);

}  // namespace

// An app need not answer a request that was cancelled, and may leave its reply stream open: the
// queue must not wait on such a call for ever. The notification itself is still forwarded.
void McpBridge::cancelRunning(const rapidjson::Value& requestId) {
    std::int64_t call = 0;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (!runningCall || runningCall->cancelled) return;
        rapidjson::Document running;
        jsonrpc::parseJson(running, runningCall->line);
        if (running.HasParseError() || !running.IsObject()) return;
        const auto id = running.FindMember("id");
        if (id == running.MemberEnd() || id->value != requestId) return;
        runningCall->cancelled = true;
        call = runningCall->number;
    }
    try {
        launcher([this, call] { releaseCancelledCall(call); });
    } catch (const std::system_error&) {
        // Without a thread to watch it, the queue waits for the call as it always would.
    }
}

void McpBridge::releaseCancelledCall(std::int64_t call) {
    std::unique_lock<std::mutex> lock(stateMutex);
    const auto stillRunning = [&] { return runningCall && runningCall->number == call; };
    callFinished.wait_for(lock, kCancelledCallGrace, [&] { return stopping || !stillRunning(); });
    if (stopping || !stillRunning()) return;
    std::thread successor;
    try {
        successor = std::thread(&McpBridge::workerLoop, this, workerGeneration + 1);
    } catch (const std::system_error&) {
        return;
    }
    ++workerGeneration;
    runningCall.reset();
    --inFlight;
    idle.notify_all();
    worker.detach();
    worker = std::move(successor);
}
