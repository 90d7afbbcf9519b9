// The HTTP exchange with the app, seen from both ends: the requests the app receives, and what
// the host gets from each form of answer body.
#include <gtest/gtest.h>

#include <ostream>

#include <set>

#include "app_fixture.h"

using namespace testing_support;

namespace {

constexpr char kAccept[] = "application/json, text/event-stream";

class HttpExchange : public AppFixture {};

TEST_F(HttpExchange, SendsExactHeadersAndBodiesAndEndsTheSessionWithDelete) {
    startBridge();
    // Spacing that no JSON writer would produce: the line must reach the app byte for byte.
    const std::string call =
        R"({"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"name": "echo", "arguments": {}}})";
    send(call);
    EXPECT_EQ(next(), appToolResult("5"));
    EXPECT_TRUE(finish().empty());

    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_EQ(seen.size(), 5u);
    const std::vector<std::string> bodies = {
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})",
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"jsonrpc":"2.0","id":0,"method":"tools/list"})", call};
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(seen[i].httpMethod, "POST");
        EXPECT_EQ(seen[i].target, "/mcp");
        EXPECT_EQ(seen[i].body, bodies[i]);
        EXPECT_EQ(seen[i].header("Authorization"), "Bearer token-1");
        EXPECT_EQ(seen[i].header("Accept"), kAccept);
        EXPECT_EQ(seen[i].header("Content-Type"), "application/json");
        if (i == 0) {
            EXPECT_EQ(seen[i].header("Mcp-Session-Id"), std::nullopt);
        } else {
            EXPECT_EQ(seen[i].header("Mcp-Session-Id"), "session-1");
        }
    }
    // Every request on a connection of its own.
    std::set<int> clientPorts;
    for (const RecordedRequest& request : seen) {
        clientPorts.insert(request.remotePort);
    }
    EXPECT_EQ(clientPorts.size(), seen.size());

    const RecordedRequest& closing = seen[4];
    EXPECT_EQ(closing.httpMethod, "DELETE");
    EXPECT_EQ(closing.target, "/mcp");
    EXPECT_EQ(closing.header("Mcp-Session-Id"), "session-1");
    EXPECT_EQ(closing.header("Authorization"), "Bearer token-1");
    EXPECT_EQ(closing.header("Accept"), kAccept);
    EXPECT_EQ(closing.header("Content-Type"), std::nullopt);
    EXPECT_EQ(closing.body, "");
}

TEST_F(HttpExchange, SessionWithoutIdSendsNoSessionHeaderAndNoDelete) {
    app->setIssueSessionIds(false);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    send(request("2", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":2,"result":{}})");
    EXPECT_TRUE(finish().empty());

    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_EQ(seen.size(), 5u);  // initialize, initialized, tools/list, the call, the ping
    for (const RecordedRequest& request : seen) {
        EXPECT_EQ(request.httpMethod, "POST");
        EXPECT_EQ(request.header("Mcp-Session-Id"), std::nullopt) << request.body;
    }
}

TEST_F(HttpExchange, EmptyTokenStillSendsBearerWithItsBlank) {
    // Raw bytes: an HTTP server library would trim the blank off the header value.
    ClosingListener listener;
    app->publishAs(loopbackUrl(listener.port()), "", 1);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    finish();
    const std::vector<std::string> raw = listener.rawRequests();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_NE(raw[0].find("\r\nAuthorization: Bearer \r\n"), std::string::npos) << raw[0];
}

// One form of answer body and the lines the host must read for it.
struct BodyCase {
    const char* name;
    ScriptedReply reply;
    std::vector<std::string> expected;
};
void PrintTo(const BodyCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kResult = R"({"jsonrpc":"2.0","id":3,"result":{"ok":true}})";
const std::string kProgress =
    R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":1,"progress":50}})";

ScriptedReply withContentType(ScriptedReply reply, const std::string& type) {
    reply.contentType = type;
    return reply;
}

class AnswerBodies : public AppFixture, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(AnswerBodies, HostReadsTheRelayedTexts) {
    app->on("demo/run", GetParam().reply);
    startBridge();
    send(request("3", "demo/run"));
    for (const std::string& line : GetParam().expected) {
        EXPECT_EQ(next(), line);
    }
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"3"});
    EXPECT_TRUE(bridge->stderrLines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    HttpExchange, AnswerBodies,
    ::testing::Values(
        BodyCase{"PlainJson", ScriptedReply::json(kResult), {kResult}},
        BodyCase{"JsonWithCrLfBecomesBlanks",
                 ScriptedReply::json("{\"jsonrpc\":\"2.0\",\r\n\"id\":3,\"result\":{}}\r\n"),
                 {"{\"jsonrpc\":\"2.0\",  \"id\":3,\"result\":{}}  "}},
        BodyCase{
            "JsonArrayOfReplies", ScriptedReply::json("[" + kResult + "]"), {"[" + kResult + "]"}},
        BodyCase{"EventWithNameAndId",
                 ScriptedReply::events("event: message\nid: 7\ndata: " + kResult + "\n\n"),
                 {kResult}},
        BodyCase{"DataWithoutBlank", ScriptedReply::events("data:" + kResult + "\n\n"), {kResult}},
        BodyCase{"TwoLeadingBlanksKeepOne",
                 ScriptedReply::events("data:  " + kResult + "\n\n"),
                 {" " + kResult}},
        BodyCase{
            "DataLinesJoinedByBlank",
            ScriptedReply::events("data: {\"jsonrpc\":\"2.0\",\ndata: \"id\":3,\"result\":{}}\n\n"),
            {"{\"jsonrpc\":\"2.0\", \"id\":3,\"result\":{}}"}},
        BodyCase{"DataLinesWithCrLfJoinedByBlank",
                 ScriptedReply::events(
                     "data: {\"jsonrpc\":\"2.0\",\r\ndata: \"id\":3,\"result\":{}}\r\n\r\n"),
                 {"{\"jsonrpc\":\"2.0\", \"id\":3,\"result\":{}}"}},
        BodyCase{"CommentsIgnored",
                 ScriptedReply::events(": ping\n\n: more\ndata: " + kResult + "\n: after\n\n"),
                 {kResult}},
        BodyCase{"CrLfLineEnds", ScriptedReply::events("data: " + kResult + "\r\n\r\n"), {kResult}},
        BodyCase{"LoneCrLineEnds",
                 ScriptedReply::events("event: message\rdata: " + kResult + "\r\r"),
                 {kResult}},
        BodyCase{"LastEventWithoutBlankLine", ScriptedReply::events("data: " + kResult), {kResult}},
        BodyCase{"StreamedInPieces",
                 ScriptedReply::streamed({"data: " + kProgress.substr(0, 20),
                                          kProgress.substr(20) + "\n\n", ": still working\n\n",
                                          "data: " + kResult + "\n", "\n"}),
                 {kProgress, kResult}},
        BodyCase{"OnlyTheExactDataFieldCounts",
                 ScriptedReply::events("Data: " + kProgress + "\n\ndatas: " + kProgress +
                                       "\n\ndata : " + kProgress + "\n\ndata: " + kResult + "\n\n"),
                 {kResult}},
        BodyCase{"DataFieldWithoutColon",
                 ScriptedReply::events("data\ndata: " + kResult + "\n\n"),
                 {" " + kResult}},
        BodyCase{"ServerRequestThenNoReplyError",
                 ScriptedReply::events(
                     "data: {\"jsonrpc\":\"2.0\",\"id\":\"s1\",\"method\":\"roots/list\"}\n\n"),
                 {R"({"jsonrpc":"2.0","id":"s1","method":"roots/list"})", noReplyError("3")}},
        BodyCase{"ProgressThenResponse",
                 ScriptedReply::events("data: " + kProgress + "\n\ndata: " + kResult + "\n\n"),
                 {kProgress, kResult}},
        BodyCase{"StreamTypeWithParameter",
                 withContentType(ScriptedReply::json("data: " + kResult + "\n\n"),
                                 "text/event-stream; charset=utf-8"),
                 {kResult}},
        BodyCase{
            "UpperCaseStreamTypeIsPlainBody",
            withContentType(ScriptedReply::json("data: " + kResult + "\n\n"), "TEXT/EVENT-STREAM"),
            {noReplyError("3")}},
        BodyCase{"NonJsonRpcTextsDropped",
                 ScriptedReply::events("data: hello\n\ndata: \"text\"\n\ndata: 42\n\n"
                                       "data: {\"id\":3,\"result\":{}}\n\ndata: " +
                                       kResult + "\n\n"),
                 {kResult}},
        BodyCase{"NotificationOnlyThenNoReplyError",
                 ScriptedReply::events("data: " + kProgress + "\n\n"),
                 {kProgress, noReplyError("3")}},
        BodyCase{"EmptyDataAndCommentsOnly",
                 ScriptedReply::events("data:\n\ndata: \n\n: only a comment\n\n"),
                 {noReplyError("3")}},
        BodyCase{"PlainTextBody",
                 withContentType(ScriptedReply::json("not json at all"), "text/plain"),
                 {noReplyError("3")}},
        BodyCase{"StreamBodyLabelledJson",
                 ScriptedReply::json("data: " + kResult + "\n\n"),
                 {noReplyError("3")}}),
    CaseName());

}  // namespace
