#include "jsonrpc/replies.h"

#include <gtest/gtest.h>

#include "jsonrpc/json.h"

namespace {

std::string compact(const char* json) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, json);
    EXPECT_FALSE(document.HasParseError()) << json;
    return jsonrpc::toJsonText(document);
}

TEST(ErrorReply, ComposesTheFixedMemberOrder) {
    EXPECT_EQ(
        jsonrpc::errorReply("7", -32600, "The request has no method"),
        R"({"jsonrpc":"2.0","id":7,"error":{"code":-32600,"message":"The request has no method"}})");
    EXPECT_EQ(jsonrpc::errorReply(R"("a")", -32700, "x"),
              R"({"jsonrpc":"2.0","id":"a","error":{"code":-32700,"message":"x"}})");
}

TEST(Responders, NoReplyAndRejectionIgnoreTheMethod) {
    for (const char* method : {"tools/call", "ping", ""}) {
        EXPECT_EQ(
            jsonrpc::noReplyResponder("3", method),
            R"({"jsonrpc":"2.0","id":3,"error":{"code":-32603,"message":"The app sent no JSON-RPC reply"}})");
        const std::string message = "The app rejected the request (HTTP 503)";
        EXPECT_EQ(
            jsonrpc::rejectionResponder(message)("3", method),
            R"x({"jsonrpc":"2.0","id":3,"error":{"code":-32603,"message":"The app rejected the request (HTTP 503)"}})x");
    }
}

TEST(ToJsonText, WritesCompactTextWithTheWritersEscapes) {
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {R"( { "b" : 1 , "a" : [ true , null , false ] } )", R"({"b":1,"a":[true,null,false]})"},
        {R"("tab\there\u0001 slash\/ é")", "\"tab\\there\\u0001 slash/ \xC3\xA9\""},
        {"1e2", "100.0"},
        {"-0.5", "-0.5"},
        {"18446744073709551615", "18446744073709551615"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"4294967295", "4294967295"},
        {R"({"k\"ey":"q\"uote\\"})", R"({"k\"ey":"q\"uote\\"})"},
        {"[[],{},[{}]]", "[[],{},[{}]]"},
        {"[1.8e308,-1.8e308,18446744073709551616e300]", "[2e308,-2e308,2e308]"},
        {R"({"a":1,"a":2})", R"({"a":1,"a":2})"},
        // What RapidJSON refuses in valid JSON: surrogates go back as escapes, huge numbers
        // as numbers.
        {R"({"\udbff":"x\ud800y\udc00","ok":"\ud83d\ude00"})",
         "{\"\\udbff\":\"x\\ud800y\\udc00\",\"ok\":\"\xF0\x9F\x98\x80\"}"},
        {"[1e400,-1E+999,0e400,1e-400]", "[2e308,-2e308,0,0.0]"},
        // Raw bytes that are not UTF-8 go on as they are; only a whole surrogate form (ED, then
        // A0 to BF, then a continuation byte) becomes an escape.
        {"[\"\xED\xAD\xED\xED\xA0\x80\"]", "[\"\xED\xAD\xED\\ud800\"]"},
        {"[\"\xED\xAD\"]", "[\"\xED\xAD\"]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

TEST(ToJsonText, HandlesNestingFarDeeperThanAStackWouldAllow) {
    const int depth = 200000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(compact(deep.c_str()), deep);
}

TEST(QuoteJsonString, EscapesLikeTheWriter) {
    EXPECT_EQ(jsonrpc::quoteJsonString("say \"hi\"\nnow\\"), R"("say \"hi\"\nnow\\")");
    EXPECT_EQ(jsonrpc::quoteJsonString(std::string("a\0b", 3)), R"("a\u0000b")");
}

TEST(RepairErrorId, PutsTheHostsIdIntoANullIdError) {
    const std::string nullIdError =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})";
    EXPECT_EQ(jsonrpc::repairErrorId(nullIdError, "5"),
              R"({"jsonrpc":"2.0","id":5,"error":{"code":-32600,"message":"Invalid Request"}})");
    EXPECT_EQ(jsonrpc::repairErrorId(nullIdError, R"("a")"),
              R"({"jsonrpc":"2.0","id":"a","error":{"code":-32600,"message":"Invalid Request"}})");
    // Blanks in the app's line go: a repaired line is written anew.
    EXPECT_EQ(jsonrpc::repairErrorId(
                  R"({"jsonrpc": "2.0", "id": null, "error": {"code": -1, "message": "m"}})", "5"),
              R"({"jsonrpc":"2.0","id":5,"error":{"code":-1,"message":"m"}})");
    // The host's id goes in as the host wrote it.
    for (const char* id : {"12345678901234567890123", "1E2", "-0", "1e400", R"("\ud800")"}) {
        EXPECT_EQ(jsonrpc::repairErrorId(nullIdError, id),
                  std::string(R"({"jsonrpc":"2.0","id":)") + id +
                      R"(,"error":{"code":-32600,"message":"Invalid Request"}})");
    }
    // The id keeps its place among the members.
    EXPECT_EQ(jsonrpc::repairErrorId(R"({"error":{"code":1},"id":null,"jsonrpc":"2.0"})", "[1]"),
              R"({"error":{"code":1},"id":[1],"jsonrpc":"2.0"})");
}

TEST(RepairErrorId, LeavesEveryOtherLineByteForByte) {
    const char* unchanged[] = {
        R"({"jsonrpc":"2.0", "id":5,"error":{"code":-1,"message":"m"}})",
        R"({"jsonrpc":"2.0", "id":null,"result":{}})",
        R"({"jsonrpc":"2.0", "error":{"code":-1,"message":"m"}})",
        R"([{"jsonrpc":"2.0","id":null,"error":{"code":-1,"message":"m"}}])",
        R"(not json {"id":null,"error":1})",
        R"("a string")",
    };
    for (const char* line : unchanged)
        EXPECT_EQ(jsonrpc::repairErrorId(line, "5"), line);
    // An id text that does not parse leaves the line alone too.
    const std::string line = R"({"id":null,"error":{}})";
    EXPECT_EQ(jsonrpc::repairErrorId(line, "{"), line);
}

}  // namespace
