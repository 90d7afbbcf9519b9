// The bridge: turns the host's input lines into replies, relaying them to the app over an MCP
// session or answering in its place. One object per process, shared by all of its threads.
#pragma once

#include <rapidjson/document.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "applink/http_exchange.h"
#include "config/config.h"
#include "config/discovery.h"
#include "jsonrpc/replies.h"
#include "main/line_writer.h"

// Runs a task at once on a thread of its own that nobody waits for; throws std::system_error when
// no thread can be had.
using ThreadLauncher = std::function<void(std::function<void()> task)>;
void launchDetachedThread(std::function<void()> task);

class McpBridge {
  public:
    McpBridge(BridgeConfig config, LineWriter writer,
              ThreadLauncher launcher = launchDetachedThread);
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
    std::optional<std::string> ensureSession(bool refreshTools);
    std::optional<AppSession> currentSession();
    std::optional<std::vector<std::string>> forwardToApp(const std::string& line);

  private:
    void answerInitialize(const std::string& idText, const std::string& paramsText);
    void answerMessage(const rapidjson::Document& document, const jsonrpc::Responder& responder);
    void relayToApp(const std::string& line, const rapidjson::Document& document,
                    const std::string& idText);
    void writeError(const std::string& message);

    void runOnOwnThread(const std::string& line);
    void finishMessage();

    void enqueueToolCall(const std::string& line);
    bool cancelQueued(const rapidjson::Document& document);
    void cancelRunning(const rapidjson::Value& requestId);
    void releaseCancelledCall(std::int64_t call);
    void workerLoop(std::int32_t generation);

    void dropSession(const AppSession& session);
    void noteSessionFailure();
    void refreshToolList(const AppSession& session);

    const BridgeConfig config;
    const LineWriter writer;
    const ThreadLauncher launcher;

    std::mutex connectMutex;  // one session opening at a time; taken before stateMutex
    std::mutex stateMutex;    // guards everything below
    std::condition_variable workReady;
    std::condition_variable idle;
    std::int32_t inFlight = 0;

    std::optional<AppSession> appSession;
    std::int32_t sessionCounter = 0;
    std::int32_t failureCount = 0;
    bool backingOff = false;
    std::int64_t lastFailureTime = 0;  // steady clock, nanoseconds
    std::string initializeResult;
    std::string hostInitializeParams = "{}";

    bool stopping = false;
    std::deque<std::string> toolCalls;
    std::thread worker;

    // The tool call the worker is running. A call the host cancelled while it ran is given up on
    // when the app hasn't finished it shortly after: a replacement worker (a new generation) goes
    // on with the queue, and the old one ends once its call returns.
    struct RunningCall {
        std::int64_t number = 0;
        std::string line;
        bool cancelled = false;
    };
    std::optional<RunningCall> runningCall;
    std::int64_t callsTaken = 0;
    std::int32_t workerGeneration = 0;
    std::condition_variable callFinished;

    // Last, so that everything the worker touches exists before it starts.
    const bool serialized;  // a worker runs the queued tool calls
};
