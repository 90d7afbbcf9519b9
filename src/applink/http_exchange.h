// One HTTP exchange with the app's MCP endpoint: the request a session sends, and the reading of
// what comes back (a plain JSON body or an event stream) into single-line JSON-RPC texts, handed
// on as each one is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "applink/app_session.h"
#include "applink/event_stream.h"
#include "applink/http_client.h"

// The most one message of the app may hold: one JSON body, or one event of a stream. Past it the
// exchange is ended.
constexpr std::size_t kMaxAppMessageBytes = std::size_t{64} << 20;

// The request for one exchange in `session`: the bearer token, what the bridge accepts, the
// session id and protocol version once there are any, and for a GET that resumes a stream the id
// of the last event seen. "localhost" is connected as 127.0.0.1: resolving it could reach another
// listener on [::1].
HttpRequest appRequest(const AppSession& session, HttpRequest::Method method, std::string_view body,
                       std::int64_t readTimeoutMs, std::string_view lastEventId = {});

// Turns a response into JSON-RPC texts as they arrive. The head goes to `onHead` first, which
// may end the exchange by returning false; each text that passes isJsonRpcText then goes to
// `onText`, each without CR or LF. A body with a content encoding, which the bridge never asks
// for, and a message larger than kMaxAppMessageBytes end the exchange.
class ReplyReader final : public HttpSink {
  public:
    using HeadHandler = std::function<bool(const HttpHead& head)>;
    using TextHandler = std::function<void(std::string text)>;

    ReplyReader(HeadHandler onHead, TextHandler onText,
                std::size_t maxMessageBytes = kMaxAppMessageBytes);

    bool onHead(const HttpHead& head) override;
    bool onBody(std::string_view bytes) override;
    // The body ended whole: its last text goes out.
    void finish();

    const HttpHead& head() const { return received; }
    bool isEventStream() const { return eventStream; }
    bool tooLarge() const;
    bool encoded() const { return encodedBody; }
    // What a stream that ends early is resumed by: the id of its last event that had one, and the
    // delay the app asked for before reconnecting.
    const std::optional<std::string>& lastEventId() const { return lastId; }
    std::optional<std::int64_t> retryMs() const { return stream.retryMs(); }
    // Events received, priming events without data included.
    std::size_t events() const { return eventCount; }

  private:
    void deliver(std::string text);

    HeadHandler headHandler;
    TextHandler textHandler;
    const std::size_t maxBytes;
    bool eventStream = false;
    bool encodedBody = false;
    bool plainTooLarge = false;
    HttpHead received;
    std::optional<std::string> lastId;
    std::size_t eventCount = 0;
    std::string plainBody;
    EventStreamParser stream;
};

// The whole outcome of one exchange, for the bridge's own requests.
struct AppReply {
    std::int32_t status = 0;            // 0 when no response was received
    bool connected = true;              // false only when no connection could be made
    std::string sessionId;              // the response's "Mcp-Session-Id"
    std::vector<std::string> messages;  // the body's JSON-RPC texts, each without CR or LF
};

// POSTs `body` (or sends a DELETE when it is null) in the session and collects the whole reply.
// Every network outcome is reported in the reply; nothing is thrown for it. A reply that did not
// arrive whole, or arrived encoded or too large, counts as no response.
AppReply sendToApp(HttpClient& client, const AppSession& session, const std::string* body,
                   std::int64_t readTimeoutMs, ExchangeStop* stop = nullptr);
