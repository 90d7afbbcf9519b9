// The seam between the HTTP exchange and the client library that carries it out: one request in;
// a response, or the kind of failure, out. Each platform build links exactly one backend.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string host;
    std::int32_t port = 0;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    bool hasBody = false;   // POST with `body` as "application/json"; DELETE without a body
    std::string_view body;  // the caller's text, not a copy: host lines can be very long
    std::int64_t readTimeoutMs = 0;  // bounds each wait for data, not the whole exchange
};

struct HttpResponse {
    enum class Outcome {
        Response,      // a complete response arrived
        NoConnection,  // no connection could be made: nothing reached the app
        NoResponse,    // connected, but no complete response: the request may have reached it
    };
    Outcome outcome = Outcome::NoResponse;
    std::int32_t status = 0;
    std::string contentType;  // the "Content-Type" header, empty when absent
    std::string sessionId;    // the "Mcp-Session-Id" header, empty when absent
    std::string body;
};

// Connects anew (connect time-out 5 s, write time-out 24 h, the request's read time-out), sends
// the request without keep-alive, proxies or redirects, and reads the whole response. Header names
// are matched without regard to case.
HttpResponse performHttpRequest(const HttpRequest& request);
