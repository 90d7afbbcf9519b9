#include "applink/reply_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(ToSingleLine, BlanksLineBreaksKeepingTheLength) {
    EXPECT_EQ(toSingleLine("{\"a\":1}\r\n"), "{\"a\":1}  ");
    EXPECT_EQ(toSingleLine("a\nb\rc"), "a b c");
}

TEST(IsJsonRpcText, AcceptsArraysAndObjectsNamingTheVersion) {
    const struct {
        std::string text;
        bool accepted;
    } cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"result":{}})", true},
        {R"({"jsonrpc":5})", true},
        {R"([1,2])", true},
        {"[]", true},
        {R"( {"jsonrpc":"2.0"}  )", true},
        {R"({"id":1,"result":{}})", false},
        {R"("text")", false},
        {"42", false},
        {"null", false},
        {"hello", false},
        {R"({"jsonrpc":"2.0"} x)", false},
        {std::string("{\"jsonrpc\":\"2.0\"}\0garbage", 25), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isJsonRpcText(c.text), c.accepted) << c.text;
}

}  // namespace
