// The HTTP client on cpp-httplib.
#include <httplib.h>

#include <algorithm>

#include "applink/http_client.h"

namespace {

const char* methodName(HttpRequest::Method method) {
    switch (method) {
        case HttpRequest::Method::Post:
            return "POST";
        case HttpRequest::Method::Get:
            return "GET";
        case HttpRequest::Method::Delete:
            break;
    }
    return "DELETE";
}

class HttplibClient final : public HttpClient {
  public:
    HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) override {
        httplib::Client client(request.host, request.port);
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(static_cast<time_t>(request.readTimeoutMs / 1000),
                                static_cast<time_t>((request.readTimeoutMs % 1000) * 1000));
        client.set_write_timeout(86400, 0);
        client.set_tcp_nodelay(true);
        client.set_keep_alive(false);
        client.set_follow_location(false);
        // Bodies reach the sink as the app sent them; an encoded one is the sink's to refuse.
        client.set_decompress(false);

        httplib::Request req;
        req.method = methodName(request.method);
        req.path = request.path;
        for (const auto& [name, value] : request.headers)
            req.headers.emplace(name, value);
        if (request.method == HttpRequest::Method::Post) {
            // The body is streamed from the caller's text rather than copied: host lines can be
            // very long.
            req.headers.emplace("Content-Type", "application/json");
            const std::string_view body = request.body;
            req.content_length_ = body.size();
            req.content_provider_ = [body](size_t offset, size_t length, httplib::DataSink& out) {
                const size_t size = std::min(length, body.size() - offset);
                return out.write(body.data() + offset, size);
            };
        }
        bool headSeen = false;
        bool sinkEnded = false;
        req.response_handler = [&](const httplib::Response& response) {
            headSeen = true;
            HttpHead head;
            head.status = response.status;
            head.contentType = response.get_header_value("Content-Type");
            head.sessionId = response.get_header_value("Mcp-Session-Id");
            head.contentEncoding = response.get_header_value("Content-Encoding");
            sinkEnded = !sink.onHead(head);
            return !sinkEnded;
        };
        req.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
            sinkEnded = !sink.onBody(std::string_view(data, length));
            return !sinkEnded;
        };

        if (stop != nullptr) {
            stop->attach([&client] { client.stop(); });
            if (stop->requested()) {
                stop->detach();
                return HttpOutcome::Stopped;
            }
        }
        httplib::Response response;
        httplib::Error error = httplib::Error::Success;
        const bool sent = client.send(req, response, error);
        if (stop != nullptr) stop->detach();

        if (sinkEnded || (stop != nullptr && stop->requested())) return HttpOutcome::Stopped;
        if (sent) return HttpOutcome::Complete;
        if (!headSeen &&
            (error == httplib::Error::Connection || error == httplib::Error::ConnectionTimeout)) {
            return HttpOutcome::NoConnection;
        }
        return HttpOutcome::Broken;
    }
};

}  // namespace

HttpClient& systemHttpClient() {
    static HttplibClient client;
    return client;
}
