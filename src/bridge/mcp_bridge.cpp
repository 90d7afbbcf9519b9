#include "bridge/mcp_bridge.h"

#include <chrono>
#include <system_error>

#include "bridge/depth_guard.h"
#include "bridge/message_threads.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"
#include "platform/platform.h"

void launchDetachedThread(std::function<void()> task) {
    MessageThreads::shared().run(std::move(task));
}

namespace {

// Starts the worker; false when no thread can be had, in which case tool calls run on threads of
// their own like every other message.
bool startWorker(std::thread& worker, McpBridge* bridge, void (McpBridge::*loop)()) {
    try {
        worker = std::thread(loop, bridge);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

AppLinkSettings McpBridge::linkSettings() {
    AppLinkSettings settings;
    settings.readDiscovery = [this] { return readDiscovery(); };
    settings.requestTimeoutMs = config.requestTimeoutMs;
    settings.snapshotToolsJson = config.snapshot.toolsJson;
    settings.notifyHost = writer;
    settings.onStreamText = [this](std::string text) { deliverFromApp(std::move(text), nullptr); };
    settings.reportFailure = [](const std::string& line) { writeError(line); };
    return settings;
}

McpBridge::McpBridge(BridgeConfig configIn, LineWriter writerIn, ThreadLauncher launcherIn,
                     HttpClient& httpClient, std::int32_t mostThreads)
    : config(std::move(configIn)),
      writer(std::move(writerIn)),
      launcher(std::move(launcherIn)),
      mostMessageThreads(mostThreads),
      link(linkSettings(), httpClient),
      serialized(config.serializeToolCalls && startWorker(worker, this, &McpBridge::workerLoop)) {}

std::optional<DiscoveryInfo> McpBridge::readDiscovery() const {
    return readDiscoveryFile(config.discoveryPath, readDiscoveryText);
}

void McpBridge::closeSession() {
    link.closeSession();
}

McpBridge::~McpBridge() {
    drain(3000);
    {
        // A thread watching a cancelled request waits on this bridge; it is woken and waited for,
        // so that none is left touching the bridge once it is gone.
        std::unique_lock<std::mutex> lock(stateMutex);
        stopping = true;
        requestEnded.notify_all();
        requestEnded.wait(lock, [this] { return watchers == 0; });
    }
    workReady.notify_all();
    if (worker.joinable()) worker.join();
    // Its thread hands what it receives to this object, whose members go before the link's.
    link.endStandingStream();
}

bool McpBridge::rejectIfTooDeep(const std::string& line) {
    if (!nestsTooDeep(line)) return false;
    writer(jsonrpc::errorReply("null", -32600,
                               "The message nests arrays or objects more than 256 levels deep"));
    return true;
}

namespace {

// Whether a line can hold a "tools/call" or "notifications/cancelled" method. Without a backslash
// every JSON string in it stands in the text as it reads, so a line that holds neither name
// literally holds neither method, and needn't be parsed here.
bool mayNameQueuedMethods(const std::string& line) {
    return line.find('\\') != std::string::npos || line.find("tools/call") != std::string::npos ||
           line.find("notifications/cancelled") != std::string::npos;
}

}  // namespace

void McpBridge::submit(const std::string& line) {
    if (rejectIfTooDeep(line)) return;
    if (serialized && mayNameQueuedMethods(line)) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, line);
        if (!document.HasParseError()) {
            if (cancelQueued(document)) return;
            bool isToolCall = false;
            if (document.IsArray()) {
                for (const auto& element : document.GetArray()) {
                    if (jsonrpc::methodOf(element) == "tools/call") {
                        isToolCall = true;
                        break;
                    }
                }
            } else {
                isToolCall = jsonrpc::methodOf(document) == "tools/call";
            }
            if (isToolCall) {
                enqueueToolCall(line, document);
                return;
            }
        }
    }
    runOnOwnThread(line);
}

void McpBridge::runOnOwnThread(const std::string& line) {
    {
        std::unique_lock<std::mutex> lock(stateMutex);
        idle.wait(lock, [this] { return onOwnThreads < mostMessageThreads; });
        ++inFlight;
        ++onOwnThreads;
    }
    try {
        launcher([this, copy = line] {
            handle(copy);
            finishMessage();
        });
    } catch (const std::system_error&) {
        // No thread to be had: answer the message here rather than leave it counted and unanswered.
        handle(line);
        finishMessage();
    }
}

void McpBridge::finishMessage() {
    // Notified under the lock: once it is released, a drain in the destructor may end the bridge.
    const std::lock_guard<std::mutex> lock(stateMutex);
    --inFlight;
    --onOwnThreads;
    idle.notify_all();
}

bool McpBridge::drain(std::int64_t limitMs) {
    std::unique_lock<std::mutex> lock(stateMutex);
    if (limitMs <= 0) return inFlight == 0;
    return idle.wait_for(lock, std::chrono::milliseconds(limitMs),
                         [this] { return inFlight == 0; });
}
