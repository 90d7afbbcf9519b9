// Opening the MCP session with the app: the replayed initialize, the tool-list refresh and its
// list-changed notice, the back-off after a failed opening, and one opening for many messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <thread>

#include "app_fixture.h"

using namespace testing_support;

namespace {

constexpr char kHostParams[] =
    R"({"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"host","version":"1"}})";

std::string initializeLine(const std::string& idText, const std::string& params) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"method":"initialize","params":)" + params +
           "}";
}

std::string replayedInitialize(const std::string& params) {
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":)" + params + "}";
}

// The snapshot's initialize result as the host gets it: "listChanged" forced to true.
const std::string kSnapshotInitializeAnswer =
    R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":true},"logging":{}},)"
    R"("serverInfo":{"name":"snapshot-app","version":"1.0.0"}})";

class AppSession : public AppFixture {};

TEST_F(AppSession, HostInitializeIsReplayedAndAnsweredWithTheAppsResult) {
    app->setInitializeResult(
        R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":false,"extra":1},)"
        R"("logging":{}},"serverInfo":{"name":"fake-app","version":"2.0.0"}})");
    startBridge();
    send(initializeLine("1", kHostParams));
    EXPECT_EQ(next(),
              R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-06-18","capabilities":)"
              R"({"tools":{"extra":1,"listChanged":true},"logging":{}},"serverInfo":)"
              R"({"name":"fake-app","version":"2.0.0"}}})");
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    send(toolCall("2"));
    EXPECT_EQ(next(), appToolResult("2"));
    EXPECT_TRUE(finish().empty());

    // One opening, by the host's initialize: no tool-list request; the host's initialized
    // notification is not passed on.
    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].body, replayedInitialize(kHostParams));
    EXPECT_EQ(seen[1].rpcMethod, "notifications/initialized");
    EXPECT_EQ(seen[2].rpcMethod, "tools/call");
    EXPECT_EQ(seen[3].httpMethod, "DELETE");
    expectOneReplyEach({"1", "2"});
}

TEST_F(AppSession, LatestHostParamsAreReplayedOnceTheAppIsBack) {
    app->unpublish();
    app->setTools(R"([{"name":"other","inputSchema":{"type":"object"}}])");
    startBridge();
    send(initializeLine("1", R"({"first":true})"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":1,"result":)" + kSnapshotInitializeAnswer + "}");
    send(initializeLine("2", kHostParams));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":2,"result":)" + kSnapshotInitializeAnswer + "}");

    app->publish();
    send(toolCall("3"));
    // The host learns of the app's other tools before the reply to the message that opened the
    // session.
    EXPECT_EQ(next(), kListChanged);
    EXPECT_EQ(next(), appToolResult("3"));
    EXPECT_TRUE(finish().empty());

    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0].body, replayedInitialize(kHostParams));
    EXPECT_EQ(seen[1].rpcMethod, "notifications/initialized");
    EXPECT_EQ(seen[2].rpcMethod, "tools/list");
    EXPECT_EQ(seen[3].rpcMethod, "tools/call");
    expectOneReplyEach({"1", "2", "3"});
}

TEST_F(AppSession, LaterHostInitializeUsesTheOpenSessionAndIsReplayedAtTheNextOpening) {
    startBridge();
    send(initializeLine("1", R"({"first":true})"));
    const std::string answer = next();
    send(initializeLine("2", kHostParams));
    EXPECT_EQ(next(), std::string(answer).replace(answer.find("\"id\":1"), 6, "\"id\":2"));
    EXPECT_EQ(app->requests("initialize").size(), 1u);

    // The app forgets the session: the reopening replays the latest params.
    app->forgetSessions();
    send(request("3", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":3,"result":{}})");
    EXPECT_TRUE(finish().empty());
    const std::vector<RecordedRequest> opened = app->requests("initialize");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].body, replayedInitialize(R"({"first":true})"));
    EXPECT_EQ(opened[1].body, replayedInitialize(kHostParams));
    expectOneReplyEach({"1", "2", "3"});
}

TEST_F(AppSession, InitializeAnswerInAnEventStreamAfterANotification) {
    app->on(
        [](const RecordedRequest& request) { return request.rpcMethod == "initialize"; },
        [](const RecordedRequest&) {
            ScriptedReply reply = ScriptedReply::events(
                "data: {\"jsonrpc\":\"2.0\",\"method\":\"notifications/message\",\"params\":{}}\n\n"
                "data: {\"jsonrpc\":\"2.0\",\"id\":0,\"result\":{\"serverInfo\":{\"name\":\"s\"}}}"
                "\n\n");
            // Header names are not case-sensitive.
            reply.headers.emplace_back("mcp-session-id", "stream-session");
            return reply;
        });
    startBridge();
    send(initializeLine("1", "{}"));
    EXPECT_EQ(next(),
              R"({"jsonrpc":"2.0","id":1,"result":{"serverInfo":{"name":"s"},"capabilities":)"
              R"({"tools":{"listChanged":true}}}})");
    send(request("2", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":2,"result":{}})");
    finish();
    EXPECT_EQ(app->requests("initialize").size(), 1u);
    EXPECT_EQ(app->requests("ping").at(0).header("Mcp-Session-Id"), "stream-session");
}

// What the app answers to the tool-list request, and whether the host must hear of a change.
struct ToolListCase {
    const char* name;
    ScriptedReply reply;
    bool announced;
};
void PrintTo(const ToolListCase& c, std::ostream* os) {
    *os << c.name;
}

std::string toolListReply(const std::string& tools) {
    return R"({"jsonrpc":"2.0","id":0,"result":{"tools":)" + tools + "}}";
}

const std::string kReorderedMembers =
    R"([{"inputSchema":{"type":"object"},"description":"Echoes","name":"echo"},)"
    R"({"inputSchema":{"type":"object"},"name":"slow"}])";
const std::string kSwappedTools =
    R"([{"name":"slow","inputSchema":{"type":"object"}},)"
    R"({"name":"echo","description":"Echoes","inputSchema":{"type":"object"}}])";
const std::string kChangedDescription =
    R"([{"name":"echo","description":"Echoes back","inputSchema":{"type":"object"}},)"
    R"({"name":"slow","inputSchema":{"type":"object"}}])";

class ToolListRefresh : public AppFixture, public ::testing::WithParamInterface<ToolListCase> {};

TEST_P(ToolListRefresh, AnnouncesOnlyARealChange) {
    app->on("tools/list", GetParam().reply);
    startBridge();
    send(toolCall("1"));
    if (GetParam().announced) {
        EXPECT_EQ(next(), kListChanged);
    }
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(app->requests("tools/list").size(), 1u);
    EXPECT_EQ(app->requests("initialize").size(), 1u);
    expectOneReplyEach({"1"});
}

INSTANTIATE_TEST_SUITE_P(
    AppSession, ToolListRefresh,
    ::testing::Values(
        ToolListCase{"SameTools", ScriptedReply::json(toolListReply(kSnapshotToolsCompact)), false},
        ToolListCase{"MembersReordered", ScriptedReply::json(toolListReply(kReorderedMembers)),
                     false},
        ToolListCase{
            "SameToolsAsEventStream",
            ScriptedReply::events(": hi\ndata: " + toolListReply(kReorderedMembers) + "\n\n"),
            false},
        ToolListCase{"ArrayOrderChanged", ScriptedReply::json(toolListReply(kSwappedTools)), true},
        ToolListCase{"DescriptionChanged", ScriptedReply::json(toolListReply(kChangedDescription)),
                     true},
        ToolListCase{"NoTools", ScriptedReply::json(toolListReply("[]")), true},
        ToolListCase{"ResultWithoutTools",
                     ScriptedReply::json(R"({"jsonrpc":"2.0","id":0,"result":{}})"), true},
        ToolListCase{"ChangedAfterANotification",
                     ScriptedReply::events(
                         "data: {\"jsonrpc\":\"2.0\",\"method\":\"notifications/message\"}\n\n"
                         "data: " +
                         toolListReply(kSwappedTools) + "\n\n"),
                     true},
        ToolListCase{"ErrorReply",
                     ScriptedReply::json(
                         R"({"jsonrpc":"2.0","id":0,"error":{"code":-32601,"message":"no"}})"),
                     false},
        ToolListCase{"Status500", ScriptedReply::empty(500), false},
        ToolListCase{"Status202WithChangedTools",
                     ScriptedReply::json(toolListReply(kSwappedTools), 202), false}),
    CaseName());

// An initialize answer that does not open a session.
struct FailedOpeningCase {
    const char* name;
    ScriptedReply reply;
};
void PrintTo(const FailedOpeningCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedOpening : public AppFixture, public ::testing::WithParamInterface<FailedOpeningCase> {};

TEST_P(FailedOpening, AnswersOfflineAndLeavesTheAppAloneDuringTheBackOff) {
    app->on("initialize", GetParam().reply);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    EXPECT_EQ(app->requests().size(), 1u);

    send(toolCall("2"));
    EXPECT_EQ(next(), offlineToolResult("2"));
    send(request("3", "tools/list"));
    EXPECT_EQ(next(), std::string(R"({"jsonrpc":"2.0","id":3,"result":{"tools":)") +
                          kSnapshotToolsCompact + "}}");
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(app->requests().size(), 1u);
    expectOneReplyEach({"1", "2", "3"});
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>(3, "The app is not available"));
}

const std::string kInitializeResult =
    R"({"jsonrpc":"2.0","id":0,"result":{"protocolVersion":"2025-06-18","capabilities":{}}})";

INSTANTIATE_TEST_SUITE_P(
    AppSession, FailedOpening,
    ::testing::Values(
        FailedOpeningCase{"Status500", ScriptedReply::empty(500)},
        FailedOpeningCase{"Status202", ScriptedReply::empty(202)},
        FailedOpeningCase{"Status400WithResult", ScriptedReply::json(kInitializeResult, 400)},
        FailedOpeningCase{"Status201WithResult", ScriptedReply::json(kInitializeResult, 201)},
        FailedOpeningCase{"EmptyBody", ScriptedReply::empty(200)},
        FailedOpeningCase{"ResultNull",
                          ScriptedReply::json(R"({"jsonrpc":"2.0","id":0,"result":null})")},
        FailedOpeningCase{"ResultArray",
                          ScriptedReply::json(R"({"jsonrpc":"2.0","id":0,"result":[]})")},
        FailedOpeningCase{"ResultString",
                          ScriptedReply::json(R"({"jsonrpc":"2.0","id":0,"result":"ok"})")},
        FailedOpeningCase{
            "ErrorReply",
            ScriptedReply::json(R"({"jsonrpc":"2.0","id":0,"error":{"code":-1,"message":"no"}})")},
        FailedOpeningCase{"ResultWithoutJsonrpc",
                          ScriptedReply::json(R"({"id":0,"result":{"capabilities":{}}})")},
        FailedOpeningCase{"ConnectionDropped", ScriptedReply::droppedConnection()}),
    CaseName());

TEST_F(AppSession, TriesAgainTwoSecondsAfterAFailedOpening) {
    app->on("initialize", ScriptedReply::empty(500));
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    ASSERT_EQ(app->requests().size(), 1u);
    const auto failedAt = app->requests()[0].arrival;

    std::this_thread::sleep_until(failedAt + 1500ms);
    send(toolCall("2"));
    EXPECT_EQ(next(), offlineToolResult("2"));
    EXPECT_EQ(app->requests().size(), 1u);

    std::this_thread::sleep_until(failedAt + 2100ms);
    send(toolCall("3"));
    EXPECT_EQ(next(), appToolResult("3"));
    EXPECT_TRUE(finish().empty());
    const std::vector<RecordedRequest> opened = app->requests("initialize");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_GE(opened[1].arrival - failedAt, 2000ms);
    expectOneReplyEach({"1", "2", "3"});
}

// Three messages that arrive together while no session exists, and the initialize answer that
// decides whether the one opening between them succeeds.
struct TogetherCase {
    const char* name;
    int initializeStatus;
    std::vector<std::string> expected;  // sorted
    std::vector<std::string> stderrLines;
};
void PrintTo(const TogetherCase& c, std::ostream* os) {
    *os << c.name;
}

class MessagesTogether : public AppFixture, public ::testing::WithParamInterface<TogetherCase> {};

TEST_P(MessagesTogether, ShareOneOpening) {
    // A slow initialize answer keeps the opening going while the other messages wait for it.
    app->on([](const RecordedRequest& request) { return request.rpcMethod == "initialize"; },
            [this](const RecordedRequest& request) {
                ScriptedReply reply = GetParam().initializeStatus == 200
                                          ? app->defaultReply(request)
                                          : ScriptedReply::empty(GetParam().initializeStatus);
                reply.delay = 300ms;
                return reply;
            });
    startBridge();
    bridge->write(request("1", "ping") + "\n" + request("2", "tools/list") + "\n" + toolCall("3") +
                  "\n");
    std::vector<std::string> lines = {next(), next(), next()};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, GetParam().expected);
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(app->requests("initialize").size(), 1u);
    for (const char* method : {"ping", "tools/call"}) {
        for (const RecordedRequest& forwarded : app->requests(method)) {
            EXPECT_EQ(forwarded.header("Mcp-Session-Id"), "session-1") << method;
        }
    }
    EXPECT_EQ(bridge->stderrLines(), GetParam().stderrLines);
    expectOneReplyEach({"1", "2", "3"});
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

const std::string kToolList2 =
    std::string(R"({"jsonrpc":"2.0","id":2,"result":{"tools":)") + kSnapshotToolsCompact + "}}";

INSTANTIATE_TEST_SUITE_P(
    AppSession, MessagesTogether,
    ::testing::Values(TogetherCase{"OpeningSucceeds",
                                   200,
                                   sorted({R"({"jsonrpc":"2.0","id":1,"result":{}})", kToolList2,
                                           appToolResult("3")}),
                                   {}},
                      TogetherCase{"OpeningFails", 500,
                                   sorted({R"({"jsonrpc":"2.0","id":1,"result":{}})", kToolList2,
                                           offlineToolResult("3")}),
                                   std::vector<std::string>(3, "The app is not available")}),
    CaseName());

}  // namespace
