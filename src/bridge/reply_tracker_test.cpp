#include "bridge/reply_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jsonrpc/json.h"
#include "jsonrpc/replies.h"

namespace {

// The app's texts for one host message, relayed through a tracker, and what the host reads.
std::vector<std::string> relayed(const std::string& hostLine, const std::vector<std::string>& texts,
                                 bool finish) {
    std::vector<std::string> lines;
    rapidjson::Document host;
    jsonrpc::parseJson(host, hostLine);
    ReplyTracker tracker(host, hostLine, "1",
                         [&lines](const std::string& line) { lines.push_back(line); });
    for (const std::string& text : texts)
        tracker.relay(text);
    if (finish) tracker.finishWithoutResponse();
    return lines;
}

TEST(ReplyTracker, GivesTheHostOneResponsePerRequest) {
    const std::string call = R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})";
    const std::string result = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const std::string log = R"({"jsonrpc":"2.0","method":"notifications/message"})";
    const std::string nullError = R"({"jsonrpc":"2.0","id":null,"error":{"code":1,"message":"x"}})";
    const std::string batch = R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])";
    const struct {
        const char* name;
        std::string host;
        std::vector<std::string> texts;
        std::vector<std::string> lines;
    } cases[] = {
        {"a response, then the same from another stream",
         call,
         {log, result, result, log},
         {log, result, log}},
        {"an error with a null id counts as the response",
         call,
         {nullError, result},
         {jsonrpc::repairErrorId(nullError, "1")}},
        {"no response: the bridge's own error",
         call,
         {log},
         {log, jsonrpc::errorReply("1", -32603, "The app sent no JSON-RPC reply")}},
        {"a batch may be answered in pieces",
         batch,
         {"[" + result + "]", "[" + result + "]"},
         {"[" + result + "]", "[" + result + "]"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(relayed(c.host, c.texts, true), c.lines) << c.name;
    }
}

}  // namespace
