#include "bridge/offline_answers.h"

#include <gtest/gtest.h>

#include "jsonrpc/replies.h"

namespace {

TEST(OfflineAnswers, AnswersEachMethodInTheAppsPlace) {
    const std::string offline = jsonrpc::quoteJsonString("App \"X\" is closed.\nRetry.");
    const std::string tools = R"([{"name":"echo"}])";
    const struct {
        const char* id;
        const char* method;
        std::string expected;
    } cases[] = {
        {"1", "ping", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
        {R"("a")", "tools/call",
         R"({"jsonrpc":"2.0","id":"a","result":{"isError":true,"content":[{"type":"text","text":"App \"X\" is closed.\nRetry."}]}})"},
        {"2", "tools/list", R"({"jsonrpc":"2.0","id":2,"result":{"tools":[{"name":"echo"}]}})"},
        {"3", "resources/list", R"({"jsonrpc":"2.0","id":3,"result":{"resources":[]}})"},
        {"4", "resources/templates/list",
         R"({"jsonrpc":"2.0","id":4,"result":{"resourceTemplates":[]}})"},
        {"5", "Tools/List",
         R"({"jsonrpc":"2.0","id":5,"error":{"code":-32000,"message":"App \"X\" is closed.\nRetry."}})"},
        {"6", "initialize",
         R"({"jsonrpc":"2.0","id":6,"error":{"code":-32000,"message":"App \"X\" is closed.\nRetry."}})"},
        {"7", "prompts/list",
         R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"App \"X\" is closed.\nRetry."}})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(composeOfflineAnswer(c.id, c.method, offline, tools), c.expected) << c.method;
    }
}

}  // namespace
