#include "applink/http_exchange.h"

#include <algorithm>

#include "applink/http_backend.h"
#include "jsonrpc/json.h"

AppReply sendToApp(const AppSession& session, const std::string* body, std::int64_t readTimeoutMs) {
    HttpRequest request;
    request.host = session.host;
    request.port = session.port;
    request.path = session.path;
    request.headers.emplace_back("Authorization", "Bearer " + session.authToken);
    request.headers.emplace_back("Accept", "application/json, text/event-stream");
    if (!session.sessionId.empty())
        request.headers.emplace_back("Mcp-Session-Id", session.sessionId);
    request.hasBody = body != nullptr;
    if (body) request.body = *body;
    request.readTimeoutMs = readTimeoutMs;

    HttpResponse response = performHttpRequest(request);
    AppReply reply;
    if (response.outcome != HttpResponse::Outcome::Response) {
        reply.connected = response.outcome != HttpResponse::Outcome::NoConnection;
        return reply;
    }
    reply.status = response.status;
    reply.sessionId = std::move(response.sessionId);
    if (response.contentType.find("text/event-stream") != std::string::npos) {
        reply.messages = splitEventStream(response.body);
    } else if (!response.body.empty()) {
        reply.messages.push_back(toSingleLine(std::move(response.body)));
    }
    std::erase_if(reply.messages, [](const std::string& text) { return !isJsonRpcText(text); });
    return reply;
}

std::vector<std::string> splitEventStream(const std::string& body) {
    std::vector<std::string> texts;
    std::string pending;
    bool hasData = false;
    const auto dispatch = [&] {
        if (hasData && !pending.empty()) texts.push_back(toSingleLine(std::move(pending)));
        pending.clear();
        hasData = false;
    };
    std::size_t position = 0;
    for (;;) {
        const std::size_t lineBreak = body.find_first_of("\r\n", position);
        const std::size_t lineEnd = lineBreak == std::string::npos ? body.size() : lineBreak;
        const std::string_view line(body.data() + position, lineEnd - position);
        std::size_t next = body.size() + 1;
        if (lineBreak != std::string::npos) {
            const bool crlf = body[lineBreak] == '\r' && lineBreak + 1 < body.size() &&
                              body[lineBreak + 1] == '\n';
            next = lineBreak + (crlf ? 2 : 1);
        }
        if (line.empty()) {
            dispatch();
        } else if (line[0] != ':') {
            const std::size_t colon = line.find(':');
            if (line.substr(0, colon) == "data") {
                std::string_view value =
                    colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
                if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
                if (hasData) pending += '\n';
                pending += value;
                hasData = true;
            }
        }
        if (next > body.size()) {
            dispatch();
            return texts;
        }
        position = next;
    }
}

std::string toSingleLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

bool isJsonRpcText(const std::string& text) {
    // A raw NUL byte is never part of a JSON text, though the parser would stop at it.
    if (text.find('\0') != std::string::npos) return false;
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    if (document.HasParseError()) return false;
    return document.IsArray() || (document.IsObject() && document.HasMember("jsonrpc"));
}
