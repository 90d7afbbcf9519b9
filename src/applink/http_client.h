// The seam between the app link and the HTTP client library: one request goes in, and a sink gets
// the response's head first, then its body bytes as they arrive. Each platform build links one
// client; tests inject their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest {
    enum class Method { Post, Get, Delete };
    Method method = Method::Post;
    std::string host;  // a numeric loopback address: the client resolves no names
    std::int32_t port = 0;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string_view body;  // POST only, sent as "application/json"; the caller's text, not a copy
    std::int64_t readTimeoutMs = 0;  // bounds each wait for data, not the whole exchange
};

struct HttpHead {
    std::int32_t status = 0;
    std::string contentType;      // the "Content-Type" header, empty when absent
    std::string sessionId;        // the "Mcp-Session-Id" header, empty when absent
    std::string contentEncoding;  // the "Content-Encoding" header, empty when absent
};

class HttpSink {
  public:
    virtual ~HttpSink() = default;
    // Each returns false to end the exchange there.
    virtual bool onHead(const HttpHead& head) = 0;
    virtual bool onBody(std::string_view bytes) = 0;
};

enum class HttpOutcome {
    Complete,      // the whole response arrived
    NoConnection,  // no connection could be made: nothing reached the app
    Broken,        // connected, but the response did not arrive whole (before or after its head)
    Stopped,       // the sink or a stop request ended the exchange
};

// Lets another thread end an exchange that waits for the app. Reusable for one exchange at a time.
class ExchangeStop {
  public:
    // Ends the running exchange, or the next one at its start.
    void request();
    bool requested();
    // Waits up to `limit` between exchanges; true when a stop was requested meanwhile.
    bool waitFor(std::chrono::milliseconds limit);

    // For clients: the way to interrupt the running exchange, registered while it runs.
    void attach(std::function<void()> interrupt);
    void detach();

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    std::function<void()> interrupter;
};

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // Connects anew (connect time-out 5 s, write time-out 24 h, the request's read time-out),
    // sends the request without keep-alive, proxies, redirects or compression, and feeds the sink.
    // `stop` may be null.
    virtual HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) = 0;
};

// The client of this build.
HttpClient& systemHttpClient();
