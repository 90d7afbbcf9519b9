// A minimal, fast MCP app on loopback for the benchmarks: answers initialize (with a session id),
// accepts notifications, lists two tools and answers tool calls at once.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

class FastApp {
  public:
    FastApp();
    ~FastApp();

    // Starts serving on 127.0.0.1 and writes the discovery file at `discoveryPath`.
    void start(const std::filesystem::path& discoveryPath);
    void stop();

    int port() const { return boundPort; }
    const std::string& token() const { return authToken; }
    static const char* initializeResult();
    static const char* toolsJson();
    // A tools/call of the tool "stream" is answered with this many progress events before its
    // result, each carrying "sentNs": nowNs() when the app wrote it.
    static constexpr int kStreamEvents = 200;
    static std::int64_t nowNs();
    // Whether a GET opens the session's standing stream (405 while off). On it, each tools/call
    // of the tool "notify" makes the app send kStreamEvents log messages, stamped like the
    // progress above.
    void serveStandingStreams(bool on) { standingStreams = on; }

  private:
    static void streamEvents(httplib::Response& response, const std::string& idText);
    void standingStream(httplib::Response& response);

    httplib::Server server;
    std::thread thread;
    int boundPort = 0;
    std::string authToken = "bench-token";
    std::atomic<long> sessions{0};
    std::atomic<bool> standingStreams{false};
    std::mutex notifyMutex;
    std::condition_variable notifyRequested;
    long notifyCount = 0;
    bool stopping = false;
};
