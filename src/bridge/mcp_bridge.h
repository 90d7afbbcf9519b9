// The bridge: turns the host's input lines into replies, relaying them to the app over an MCP
// session or answering in its place. One object per process, shared by all of its threads.
#pragma once

#include <rapidjson/document.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "applink/app_link.h"
#include "applink/http_client.h"
#include "config/config.h"
#include "config/discovery.h"
#include "jsonrpc/replies.h"
#include "main/line_writer.h"

class ReplyTracker;

// Runs a task at once on a thread of its own that nobody waits for; throws std::system_error when
// no thread can be had.
using ThreadLauncher = std::function<void(std::function<void()> task)>;
void launchDetachedThread(std::function<void()> task);

// The most messages that run on threads of their own at once. Up to it every message starts at
// once; at it, submit waits (and so the reading of input pauses) until one of them finishes. Each
// thread costs a stack and a connection to the app, and a flood of pipelined requests to a slow
// app would otherwise start one for every request.
constexpr std::int32_t kMostMessageThreads = 2048;

class McpBridge {
  public:
    McpBridge(BridgeConfig config, LineWriter writer,
              ThreadLauncher launcher = launchDetachedThread,
              HttpClient& httpClient = systemHttpClient(),
              std::int32_t mostMessageThreads = kMostMessageThreads);
    ~McpBridge();
    McpBridge(const McpBridge&) = delete;
    McpBridge& operator=(const McpBridge&) = delete;

    // Takes one non-empty input line, on the main thread, in input order. Returns as soon as the
    // line is queued or running on a thread of its own.
    void submit(const std::string& line);

    // Waits until nothing is in flight or `limitMs` has passed; true when nothing is in flight.
    bool drain(std::int64_t limitMs);

    // Ends the app session with a DELETE when it has an id; the reply and any failure are ignored.
    void closeSession();

    // What the threads run; public so that tests can drive each step on its own.
    void handle(const std::string& line);
    bool rejectIfTooDeep(const std::string& line);
    std::string offlineAnswer(const std::string& idText, const std::string& method) const;
    std::optional<DiscoveryInfo> readDiscovery() const;
    AppLink& appLink() { return link; }

  private:
    // A forwarded request that may still be waiting for the app: the host can cancel it, and the
    // app may answer it on any stream of the session.
    struct RunningRequest {
        rapidjson::Document id;
        std::shared_ptr<ExchangeStop> stop;
        std::shared_ptr<ReplyTracker> tracker;
    };
    // A tool call waiting in the queue, with its id kept for cancellations.
    struct QueuedCall {
        std::string line;
        rapidjson::Document id;  // null for a batch or a call without a usable id
    };

    AppLinkSettings linkSettings();
    void answerInitialize(const std::string& idText, const std::string& paramsText);
    void relayToApp(const std::string& line, ReplyTracker& tracker, ExchangeStop* stop);
    void deliverFromApp(std::string text, ReplyTracker* owner);
    static void writeError(const std::string& message);

    void runOnOwnThread(const std::string& line);
    void finishMessage();

    void enqueueToolCall(const std::string& line, const rapidjson::Document& document);
    bool cancelQueued(const rapidjson::Document& document);
    void cancelRunning(const rapidjson::Value& requestId);
    void stopIfStillRunning(const std::shared_ptr<ExchangeStop>& stop);
    void workerLoop();

    const BridgeConfig config;
    const LineWriter writer;
    const ThreadLauncher launcher;
    const std::int32_t mostMessageThreads;
    AppLink link;

    std::mutex stateMutex;  // guards everything below
    std::condition_variable workReady;
    std::condition_variable idle;
    std::condition_variable requestEnded;
    std::int32_t inFlight = 0;
    std::int32_t onOwnThreads = 0;  // messages in flight on threads of their own
    std::list<RunningRequest> runningRequests;
    // Threads watching a cancelled running request, from launch to their last touch of the bridge.
    std::int32_t watchers = 0;

    bool stopping = false;
    std::deque<QueuedCall> toolCalls;
    std::thread worker;

    // Last, so that everything the worker touches exists before it starts.
    const bool serialized;  // a worker runs the queued tool calls
};
