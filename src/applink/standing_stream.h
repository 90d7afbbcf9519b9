// The session's standing event stream: one GET on which the app sends what nobody asked for (its
// logs, list changes, resource updates, its own requests, responses it moved off their request's
// stream). It is kept open while the session lives, opened again after it breaks or ends, and
// closed with the session. It is no message in flight: nothing waits for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "applink/app_session.h"
#include "applink/http_client.h"

struct StandingStreamSettings {
    // Each JSON-RPC text of the stream, on the stream's own thread.
    std::function<void(std::string text)> onText;
    // Asked before every reopening: false when the discovery file no longer names the session's
    // app, which ends the stream (the next message drops the session).
    std::function<bool(const AppSession& session)> stillTheApp;
    // One line for standard error, at most once per session.
    std::function<void(const std::string& line)> reportFailure;
    // The wait before reopening when the app gave no "retry": doubles from the first to the most.
    std::chrono::milliseconds firstBackOff{1000};
    std::chrono::milliseconds mostBackOff{30000};
};

class StandingStream {
  public:
    StandingStream(StandingStreamSettings settings, HttpClient& client);
    // Ends the stream and waits for its thread.
    ~StandingStream();
    StandingStream(const StandingStream&) = delete;
    StandingStream& operator=(const StandingStream&) = delete;

    // Opens the stream of `session` on a thread of its own, ending any earlier one. Without a
    // thread to be had the session goes without a stream.
    void open(const AppSession& session);
    // Ends the stream of the session with this generation, if it is the current one; returns at
    // once.
    void close(std::int32_t generation);
    // Ends whatever stream is open; returns at once.
    void close();
    // Ends whatever stream is open and waits for its thread: nothing is relayed after it returns.
    void closeAndWait();

  private:
    struct Run;
    void keepOpen(const std::shared_ptr<Run>& run);

    const StandingStreamSettings settings;
    HttpClient& client;

    std::mutex mutex;  // guards everything below
    std::condition_variable allEnded;
    std::shared_ptr<Run> current;
    int threadsRunning = 0;
};
