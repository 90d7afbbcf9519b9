#include "applink/http_exchange.h"

#include "applink/reply_texts.h"

HttpRequest appRequest(const AppSession& session, HttpRequest::Method method, std::string_view body,
                       std::int64_t readTimeoutMs, std::string_view lastEventId) {
    HttpRequest request;
    request.method = method;
    request.host = session.host == "localhost" ? "127.0.0.1" : session.host;
    request.port = session.port;
    request.path = session.path;
    request.headers.emplace_back("Host", session.host + ":" + std::to_string(session.port));
    request.headers.emplace_back("Authorization", "Bearer " + session.authToken);
    request.headers.emplace_back("Accept", method == HttpRequest::Method::Get
                                               ? "text/event-stream"
                                               : "application/json, text/event-stream");
    request.headers.emplace_back("Accept-Encoding", "identity");
    if (!session.sessionId.empty())
        request.headers.emplace_back("Mcp-Session-Id", session.sessionId);
    if (!session.protocolVersion.empty())
        request.headers.emplace_back("MCP-Protocol-Version", session.protocolVersion);
    if (!lastEventId.empty()) request.headers.emplace_back("Last-Event-ID", lastEventId);
    request.body = body;
    request.readTimeoutMs = readTimeoutMs;
    return request;
}

ReplyReader::ReplyReader(HeadHandler onHeadIn, TextHandler onTextIn, std::size_t maxMessageBytes)
    : headHandler(std::move(onHeadIn)),
      textHandler(std::move(onTextIn)),
      maxBytes(maxMessageBytes),
      stream(
          [this](StreamEvent& event) {
              ++eventCount;
              if (event.id) lastId = std::move(event.id);
              if (!event.data.empty()) deliver(toSingleLine(std::move(event.data)));
          },
          maxMessageBytes) {}

bool ReplyReader::onHead(const HttpHead& head) {
    received = head;
    eventStream = head.contentType.find("text/event-stream") != std::string::npos;
    if (!head.contentEncoding.empty() && head.contentEncoding != "identity") {
        encodedBody = true;
        return false;
    }
    return !headHandler || headHandler(received);
}

bool ReplyReader::onBody(std::string_view bytes) {
    if (eventStream) return stream.feed(bytes);
    if (plainBody.size() + bytes.size() > maxBytes) {
        plainTooLarge = true;
        return false;
    }
    plainBody.append(bytes);
    return true;
}

void ReplyReader::finish() {
    if (eventStream) {
        stream.finish();
    } else if (!plainBody.empty()) {
        deliver(toSingleLine(std::move(plainBody)));
        plainBody.clear();
    }
}

bool ReplyReader::tooLarge() const {
    return plainTooLarge || stream.overflowed();
}

void ReplyReader::deliver(std::string text) {
    if (isJsonRpcText(text)) textHandler(std::move(text));
}

AppReply sendToApp(HttpClient& client, const AppSession& session, const std::string* body,
                   std::int64_t readTimeoutMs, ExchangeStop* stop) {
    AppReply reply;
    ReplyReader reader(nullptr,
                       [&](std::string text) { reply.messages.push_back(std::move(text)); });
    const HttpRequest request =
        appRequest(session, body ? HttpRequest::Method::Post : HttpRequest::Method::Delete,
                   body ? std::string_view(*body) : std::string_view(), readTimeoutMs);
    const HttpOutcome outcome = client.perform(request, reader, stop);
    if (outcome != HttpOutcome::Complete) {
        reply.connected = outcome != HttpOutcome::NoConnection;
        reply.messages.clear();
        return reply;
    }
    reader.finish();
    reply.status = reader.head().status;
    reply.sessionId = reader.head().sessionId;
    return reply;
}
