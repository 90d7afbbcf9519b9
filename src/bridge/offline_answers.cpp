#include "bridge/offline_answers.h"

#include "bridge/mcp_bridge.h"

std::string composeOfflineAnswer(const std::string& idText, const std::string& method,
                                 const std::string& offlineText, const std::string& toolsJson) {
    std::string reply = "{\"jsonrpc\":\"2.0\",\"id\":";
    reply += idText;
    reply += ',';
    if (method == "ping") {
        reply += "\"result\":{}}";
    } else if (method == "tools/call") {
        reply += "\"result\":{\"isError\":true,\"content\":[{\"type\":\"text\",\"text\":";
        reply += offlineText;
        reply += "}]}}";
    } else if (method == "tools/list") {
        reply += "\"result\":{\"tools\":";
        reply += toolsJson;
        reply += "}}";
    } else if (method == "resources/list") {
        reply += "\"result\":{\"resources\":[]}}";
    } else if (method == "resources/templates/list") {
        reply += "\"result\":{\"resourceTemplates\":[]}}";
    } else {
        reply += "\"error\":{\"code\":-32000,\"message\":";
        reply += offlineText;
        reply += "}}";
    }
    return reply;
}

std::string McpBridge::offlineAnswer(const std::string& idText, const std::string& method) const {
    return composeOfflineAnswer(idText, method, jsonrpc::quoteJsonString(config.offlineMessage),
                                config.snapshot.toolsJson);
}
