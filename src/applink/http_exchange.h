// One HTTP exchange with the app's MCP endpoint, and the parsing of what comes back: a plain JSON
// body or an event stream, turned into single-line JSON-RPC texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One session with the app, copied for every exchange.
struct AppSession {
    std::string host;
    std::int32_t port = 0;
    std::string path;
    std::string authToken;
    std::string sessionId;  // empty when the app sent none
    std::int64_t pid = 0;
    std::int32_t generation = 0;  // which opening produced it; 0 for a record not yet opened
};

// The outcome of one exchange.
struct AppReply {
    std::int32_t status = 0;            // 0 when no response was received
    bool connected = true;              // false only when no connection could be made
    std::string sessionId;              // the response's "Mcp-Session-Id"
    std::vector<std::string> messages;  // the body's JSON-RPC texts, each without CR or LF
};

// POSTs `body` (or sends a DELETE when it is null) to the session's endpoint and waits for the
// whole response. Every network outcome is reported in the reply; nothing is thrown for it.
AppReply sendToApp(const AppSession& session, const std::string* body, std::int64_t readTimeoutMs);

// The data texts of the events of an event-stream body, each on a single line.
std::vector<std::string> splitEventStream(const std::string& body);

// The text with every CR and LF replaced by a blank.
std::string toSingleLine(std::string text);

// True when the text is one JSON array, or one JSON object with a member "jsonrpc".
bool isJsonRpcText(const std::string& text);
