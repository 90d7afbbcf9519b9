// The tool-call queue: tool calls run one at a time, in arrival order, on one worker thread; a
// call still waiting can be withdrawn by "notifications/cancelled", and one the app is already
// working on is given up shortly after the notification has been forwarded.
#include <chrono>
#include <system_error>

#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"

namespace {

// How long the app has to finish a running request after the host cancelled it. An app need not
// answer a cancelled request, and may leave its reply stream open.
constexpr auto kCancelledCallGrace = std::chrono::seconds(1);

// The id a cancellation may name: a string, or a number held as an integer.
bool isCancellableId(const rapidjson::Value& id) {
    return id.IsString() || id.IsInt64() || id.IsUint64();
}

}  // namespace

void McpBridge::enqueueToolCall(const std::string& line, const rapidjson::Document& document) {
    QueuedCall call{line, rapidjson::Document()};
    if (document.IsObject()) {
        const auto id = document.FindMember("id");
        if (id != document.MemberEnd()) call.id.CopyFrom(id->value, call.id.GetAllocator());
    }
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        toolCalls.push_back(std::move(call));
        ++inFlight;
    }
    workReady.notify_all();
}

void McpBridge::workerLoop() {
    std::unique_lock<std::mutex> lock(stateMutex);
    for (;;) {
        workReady.wait(lock, [&] { return stopping || !toolCalls.empty(); });
        if (stopping) return;
        std::string line = std::move(toolCalls.front().line);
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
    if (!isCancellableId(target)) return false;

    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        for (auto queued = toolCalls.begin(); queued != toolCalls.end(); ++queued) {
            // A batch, or a call without an id, keeps a null id, which no cancellable id equals.
            if (queued->id != target) continue;
            toolCalls.erase(queued);
            --inFlight;
            idle.notify_all();
            return true;
        }
    }
    cancelRunning(target);
    return false;
}

// The notification itself is forwarded by the caller; should the app not end the request within
// the grace, the bridge stops waiting for it, and the host, which cancelled it, gets nothing.
void McpBridge::cancelRunning(const rapidjson::Value& requestId) {
    std::shared_ptr<ExchangeStop> stop;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (stopping) return;
        for (const RunningRequest& running : runningRequests) {
            if (running.id == requestId) {
                stop = running.stop;
                break;
            }
        }
        if (!stop) return;
        ++watchers;
    }
    try {
        launcher([this, stop] { stopIfStillRunning(stop); });
    } catch (const std::system_error&) {
        // Without a thread to watch it, the request is waited for as it always would be.
        const std::lock_guard<std::mutex> lock(stateMutex);
        --watchers;
        requestEnded.notify_all();
    }
}

void McpBridge::stopIfStillRunning(const std::shared_ptr<ExchangeStop>& stop) {
    std::unique_lock<std::mutex> lock(stateMutex);
    const auto stillRunning = [&] {
        for (const RunningRequest& running : runningRequests) {
            if (running.stop == stop) return true;
        }
        return false;
    };
    if (!requestEnded.wait_for(lock, kCancelledCallGrace,
                               [&] { return stopping || !stillRunning(); })) {
        lock.unlock();
        stop->request();
        lock.lock();
    }
    // Notified under the lock: once it is released, the destructor may end the bridge.
    --watchers;
    requestEnded.notify_all();
}
