#include "jsonrpc/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

TEST(ParseJson, AcceptsValidJsonThatRapidJsonRefuses) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {R"({"a":"\ud800"})", true},
        {R"(["\udbff\u0041","x\uD800"])", true},
        {R"({"\ud800":1,"b":"\ud83d\ude00"})", true},
        {R"(["\\ud800"])", true},
        {"[1e400,-1e400,1E+999,0e999]", true},
        {"[" + std::string(400, '9') + "]", true},
        {R"({"a":"\ud800"} x)", false},
        {R"({"a":"\ud800)", false},
        {R"(["\ud80"])", false},
        {"[1e400,]", false},
        {"[01e400]", false},
        {"[1e400", false},
    };
    for (const auto& c : cases) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, c.text);
        EXPECT_EQ(!document.HasParseError(), c.valid) << c.text;
    }
}

TEST(ParseJson, ReadsLoneSurrogatesAndHugeNumbersAsValues) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, R"({"s":"a\ud800","n":-1e400,"m":1e300})");
    ASSERT_TRUE(document.IsObject());
    EXPECT_EQ(std::string(document["s"].GetString()), "a\xED\xA0\x80");
    EXPECT_TRUE(std::isinf(document["n"].GetDouble()) && document["n"].GetDouble() < 0);
    EXPECT_DOUBLE_EQ(document["m"].GetDouble(), 1e300);
}

}  // namespace
