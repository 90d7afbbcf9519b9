#include "applink/http_exchange.h"

#include <gtest/gtest.h>

namespace {

using Texts = std::vector<std::string>;

TEST(SplitEventStream, CollectsTheDataOfEachEvent) {
    const std::string obj = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const struct {
        std::string body;
        Texts texts;
    } cases[] = {
        {"data: " + obj + "\n\n", {obj}},
        {"data:" + obj + "\n\n", {obj}},
        {"event: message\nid: 4\n: comment\ndata: " + obj + "\nretry: 10\n\n", {obj}},
        {"data: a\ndata: b\n\n", {"a b"}},
        {"data:  two blanks\n\n", {" two blanks"}},
        {"data: no closing empty line", {"no closing empty line"}},
        {"data: one\r\n\r\ndata: two\r\rdata: three\n", {"one", "two", "three"}},
        {"data\n\ndata:\n\n: only a comment\n\n", {}},
        {"Data: x\n\ndata : y\n\n", {}},
        {"data: x\n\n\n\ndata: y\n", {"x", "y"}},
        {"data: a\rb\n\n", {"a"}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitEventStream(c.body), c.texts) << c.body;
}

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
