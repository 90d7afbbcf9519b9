// The HTTP backend on cpp-httplib.
#include <httplib.h>

#include "applink/http_backend.h"

HttpResponse performHttpRequest(const HttpRequest& request) {
    httplib::Client client(request.host, request.port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(static_cast<time_t>(request.readTimeoutMs / 1000),
                            static_cast<time_t>((request.readTimeoutMs % 1000) * 1000));
    client.set_write_timeout(86400, 0);
    client.set_tcp_nodelay(true);

    httplib::Headers headers;
    for (const auto& [name, value] : request.headers)
        headers.emplace(name, value);
    const httplib::Result result =
        request.hasBody ? client.Post(request.path.c_str(), headers, request.body.data(),
                                      request.body.size(), "application/json")
                        : client.Delete(request.path.c_str(), headers);

    HttpResponse response;
    if (!result) {
        const httplib::Error error = result.error();
        response.outcome =
            error == httplib::Error::Connection || error == httplib::Error::ConnectionTimeout
                ? HttpResponse::Outcome::NoConnection
                : HttpResponse::Outcome::NoResponse;
        return response;
    }
    response.outcome = HttpResponse::Outcome::Response;
    response.status = result->status;
    response.contentType = result->get_header_value("Content-Type");
    response.sessionId = result->get_header_value("Mcp-Session-Id");
    response.body = std::move(result->body);
    return response;
}
