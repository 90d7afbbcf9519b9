// Forwarding host messages in the open session: what the host gets for each kind of answer, a
// session the app no longer knows, a restarted app, and an app that hangs up.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "app_fixture.h"

using namespace testing_support;

namespace {

constexpr char kPing2Reply[] = R"({"jsonrpc":"2.0","id":2,"result":{}})";

std::string rejectionText(int status) {
    return "The app rejected the request (HTTP " + std::to_string(status) + ")";
}

std::string rejection(const std::string& idText, int status) {
    return errorLine(idText, -32603, rejectionText(status));
}

// One host message, the app's answer to it, and what the host and standard error must show.
struct ReplyCase {
    const char* name;
    std::string hostLine;
    ScriptedReply reply;
    std::vector<std::string> expected;
    std::vector<std::string> stderrLines;
    bool sessionKept = true;
};
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kRequest = request(R"("r")", "demo/run");
const std::string kNotification = R"({"jsonrpc":"2.0","method":"notifications/note"})";
const std::string kBoolIdRequest = R"({"jsonrpc":"2.0","id":true,"method":"demo/run"})";
const std::string kNullIdError =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32602,"message":"Invalid params"}})";
const std::string kRepairedError =
    R"({"jsonrpc":"2.0","id":"r","error":{"code":-32602,"message":"Invalid params"}})";
const std::string kProgress =
    R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":1}})";

ScriptedReply plainText(const std::string& body, int status) {
    ScriptedReply reply = ScriptedReply::json(body, status);
    reply.contentType = "text/plain";
    return reply;
}

class AppReplies : public AppFixture, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(AppReplies, HostGetsTheMappedLines) {
    const ReplyCase& c = GetParam();
    if (c.reply.dropConnection && bridgeLauncher().find("wine") != std::string::npos) {
        GTEST_SKIP() << "Wine's WinHTTP takes a chunked body that the server cut off for complete";
    }
    startBridge();
    // Open the session first, so the case's answer meets an open session.
    send(request("1", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":1,"result":{}})");

    const std::string line = c.hostLine;
    app->on([line](const RecordedRequest& request) { return request.body == line; },
            [reply = c.reply](const RecordedRequest&) { return reply; });
    send(c.hostLine);
    std::vector<std::string> lines;
    for (const std::string& expected : c.expected) {
        lines.push_back(next());
        EXPECT_EQ(lines.back(), expected);
    }
    // The failure has been dealt with once it is on standard error.
    EXPECT_TRUE(awaitStderrLines(c.stderrLines.size()));
    if (c.hostLine == kRequest) {
        // Exactly one response for the request, whether under its id or the app's null id.
        EXPECT_EQ(countReplies(lines, R"("r")") + countReplies(lines, "null"), 1u);
    }

    // A later message shows whether the session survived.
    send(request("2", "ping"));
    EXPECT_EQ(next(), kPing2Reply);
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(bridge->stderrLines(), c.stderrLines);
    EXPECT_EQ(app->requests("initialize").size(), c.sessionKept ? 1u : 2u);
    expectOneReplyEach({"1", "2"});
}

INSTANTIATE_TEST_SUITE_P(
    AppForwarding, AppReplies,
    ::testing::Values(
        ReplyCase{"Status500EmptyBody",
                  kRequest,
                  ScriptedReply::empty(500),
                  {rejection(R"("r")", 500)},
                  {rejectionText(500)}},
        ReplyCase{"Status500PlainText",
                  kRequest,
                  plainText("Internal Server Error", 500),
                  {rejection(R"("r")", 500)},
                  {rejectionText(500)}},
        ReplyCase{"Status503ArrayOnly",
                  kRequest,
                  ScriptedReply::json("[1,2]", 503),
                  {rejection(R"("r")", 503)},
                  {rejectionText(503)}},
        ReplyCase{"Status502ObjectWithoutJsonrpc",
                  kRequest,
                  ScriptedReply::json(R"({"error":"bad gateway"})", 502),
                  {rejection(R"("r")", 502)},
                  {rejectionText(502)}},
        ReplyCase{"Status403",
                  kRequest,
                  ScriptedReply::empty(403),
                  {rejection(R"("r")", 403)},
                  {rejectionText(403)}},
        ReplyCase{"Status400JsonRpcErrorRelayed",
                  kRequest,
                  ScriptedReply::json(kRepairedError, 400),
                  {kRepairedError},
                  {}},
        ReplyCase{"Status400NullIdErrorGetsHostId",
                  kRequest,
                  ScriptedReply::json(kNullIdError, 400),
                  {kRepairedError},
                  {}},
        ReplyCase{"Status500ErrorInEventStream",
                  kRequest,
                  ScriptedReply::events("data: " + kNullIdError + "\n\n", 500),
                  {kRepairedError},
                  {}},
        ReplyCase{
            "NullIdErrorRewrittenCompact",
            kRequest,
            ScriptedReply::json(
                R"({"jsonrpc": "2.0", "id": null, "error": {"code": -32602, "message": "Invalid params"}})"),
            {kRepairedError},
            {}},
        ReplyCase{"NullIdResultUnchanged",
                  kRequest,
                  ScriptedReply::json(R"({"jsonrpc":"2.0", "id":null,"result":{}})"),
                  {R"({"jsonrpc":"2.0", "id":null,"result":{}})"},
                  {}},
        ReplyCase{
            "Status202Empty", kRequest, ScriptedReply::empty(202), {noReplyError(R"("r")")}, {}},
        ReplyCase{
            "Status200Empty", kRequest, ScriptedReply::empty(200), {noReplyError(R"("r")")}, {}},
        ReplyCase{
            "Status302Empty", kRequest, ScriptedReply::empty(302), {noReplyError(R"("r")")}, {}},
        ReplyCase{"NotificationOnly",
                  kRequest,
                  ScriptedReply::events("data: " + kProgress + "\n\n"),
                  {kProgress, noReplyError(R"("r")")},
                  {}},
        ReplyCase{"BooleanIdNotRepaired",
                  kBoolIdRequest,
                  ScriptedReply::json(kNullIdError),
                  {kNullIdError},
                  {}},
        ReplyCase{"BooleanIdLeftUnanswered", kBoolIdRequest, ScriptedReply::empty(202), {}, {}},
        ReplyCase{
            "InvalidJsonIsForwardedAndTheAppAnswers",
            "{not json",
            ScriptedReply::json(
                R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse"}})", 400),
            {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse"}})"},
            {}},
        ReplyCase{"NotificationRejected",
                  kNotification,
                  ScriptedReply::empty(500),
                  {},
                  {rejectionText(500)}},
        ReplyCase{"NotificationConnectionDropped",
                  kNotification,
                  ScriptedReply::droppedConnection(),
                  {},
                  {"The connection to the app was lost"},
                  false},
        ReplyCase{"ConnectionDroppedMidAnswer",
                  kRequest,
                  ScriptedReply::droppedConnection(),
                  {offlineError(R"("r")")},
                  {"The connection to the app was lost"},
                  false}),
    CaseName());

// How the app loses the session between two messages.
struct LostSessionCase {
    const char* name;
    std::function<void(FakeApp&)> lose;
    bool toolsChanged = false;  // the reopened session then announces a list change
};
void PrintTo(const LostSessionCase& c, std::ostream* os) {
    *os << c.name;
}

class LostSession : public AppFixture, public ::testing::WithParamInterface<LostSessionCase> {};

TEST_P(LostSession, IsReopenedAndTheMessageSentAgain) {
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    const std::size_t before = app->requests().size();

    GetParam().lose(*app);
    send(toolCall("2"));
    if (GetParam().toolsChanged) {
        EXPECT_EQ(next(), kListChanged);
    }
    EXPECT_EQ(next(), appToolResult("2"));
    EXPECT_TRUE(finish().empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
    expectOneReplyEach({"1", "2"});

    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_EQ(seen.size(), before + 6);  // the refused call, a new opening, the call, DELETE
    EXPECT_EQ(seen[before].body, toolCall("2"));
    EXPECT_EQ(seen[before].header("Mcp-Session-Id"), "session-1");
    EXPECT_EQ(seen[before + 1].rpcMethod, "initialize");
    EXPECT_EQ(seen[before + 1].header("Mcp-Session-Id"), std::nullopt);
    EXPECT_EQ(seen[before + 2].rpcMethod, "notifications/initialized");
    EXPECT_EQ(seen[before + 3].rpcMethod, "tools/list");
    EXPECT_EQ(seen[before + 4].body, toolCall("2"));
    EXPECT_EQ(seen[before + 4].header("Mcp-Session-Id"), "session-2");
    EXPECT_EQ(seen[before + 5].httpMethod, "DELETE");
    EXPECT_EQ(seen[before + 5].header("Mcp-Session-Id"), "session-2");
}

INSTANTIATE_TEST_SUITE_P(
    AppForwarding, LostSession,
    ::testing::Values(
        LostSessionCase{"SessionForgotten", [](FakeApp& app) { app.forgetSessions(); }},
        LostSessionCase{"SessionForgottenAndToolsChanged",
                        [](FakeApp& app) {
                            app.forgetSessions();
                            app.setTools(R"([{"name":"new","inputSchema":{"type":"object"}}])");
                        },
                        true},
        LostSessionCase{"Status404",
                        [](FakeApp& app) { app.on("tools/call", ScriptedReply::empty(404)); }},
        LostSessionCase{"Status401",
                        [](FakeApp& app) { app.on("tools/call", ScriptedReply::empty(401)); }}),
    CaseName());

class AppForwarding : public AppFixture {};

TEST_F(AppForwarding, GivesUpAfterThreeRefusedSessions) {
    app->on("tools/call", ScriptedReply::empty(404), -1);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>{"The app rejected the session"});
    EXPECT_EQ(app->requests("initialize").size(), 3u);
    EXPECT_EQ(app->requests("tools/call").size(), 3u);
    expectOneReplyEach({"1"});
}

// A new discovery file names another app instance; the old session must not be used.
enum class Restart { Pid, Token, Path, Host, Port };

struct RestartCase {
    const char* name;
    Restart change;
};
void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class RestartedApp : public AppFixture, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartedApp, NextMessageOpensANewSessionFirst) {
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    const std::size_t before = app->requests().size();

    std::unique_ptr<FakeApp> other;
    FakeApp* target = app.get();
    std::string targetPath = "/mcp";
    switch (GetParam().change) {
        case Restart::Pid:
            app->setPid(4243);
            app->publish();
            break;
        case Restart::Token:
            app->setToken("token-2");
            app->publish();
            break;
        case Restart::Path:
            targetPath = "/mcp/v2";
            app->publishAs(loopbackUrl(app->port(), targetPath), app->token(), 4242);
            break;
        case Restart::Host:
            app->publishAs("http://localhost:" + std::to_string(app->port()) + "/mcp", app->token(),
                           4242);
            break;
        case Restart::Port:
            other = std::make_unique<FakeApp>(discoveryPath);  // publishes itself
            other->setTools(kSnapshotToolsCompact);
            target = other.get();
            break;
    }
    send(toolCall("2"));
    EXPECT_EQ(next(), appToolResult("2"));
    EXPECT_TRUE(finish().empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
    expectOneReplyEach({"1", "2"});

    std::vector<RecordedRequest> seen = target->requests();
    if (target == app.get()) seen.erase(seen.begin(), seen.begin() + before);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].rpcMethod, "initialize");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer " + target->token());
    EXPECT_EQ(seen[3].body, toolCall("2"));
    EXPECT_EQ(seen[4].httpMethod, "DELETE");
    for (const RecordedRequest& request : seen) {
        EXPECT_EQ(request.target, targetPath);
    }
    if (other) {
        EXPECT_EQ(app->requests().size(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(AppForwarding, RestartedApp,
                         ::testing::Values(RestartCase{"PidChanged", Restart::Pid},
                                           RestartCase{"TokenChanged", Restart::Token},
                                           RestartCase{"PathChanged", Restart::Path},
                                           RestartCase{"HostChanged", Restart::Host},
                                           RestartCase{"PortChanged", Restart::Port}),
                         CaseName());

// A batch of two requests and a notification, and the single line the host gets back.
struct BatchCase {
    const char* name;
    std::optional<ScriptedReply> reply;  // none: the app's own answer
    std::string expected;
};
void PrintTo(const BatchCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kBatch = "[" + request("1", "ping") + "," +
                           R"({"jsonrpc":"2.0","method":"notifications/note"},)" +
                           request("2", "demo/run") + "]";

class BatchReplies : public AppFixture, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(BatchReplies, HostGetsOneBatchLine) {
    if (GetParam().reply) app->on("batch", *GetParam().reply);
    startBridge();
    send(kBatch);
    EXPECT_EQ(next(), GetParam().expected);
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1", "2"});
    ASSERT_EQ(app->requests("batch").size(), 1u);
    EXPECT_EQ(app->requests("batch")[0].body, kBatch);
}

INSTANTIATE_TEST_SUITE_P(
    AppForwarding, BatchReplies,
    ::testing::Values(
        BatchCase{
            "AnsweredByTheApp", std::nullopt,
            R"([{"jsonrpc":"2.0","id":1,"result":{}},)"
            R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found"}}])"},
        BatchCase{"Status202Empty", ScriptedReply::empty(202),
                  "[" + noReplyError("1") + "," + noReplyError("2") + "]"},
        BatchCase{"Status500Empty", ScriptedReply::empty(500),
                  "[" + rejection("1", 500) + "," + rejection("2", 500) + "]"}),
    CaseName());

TEST_F(AppForwarding, NotificationAnsweredWithNoBodyWritesNothing) {
    startBridge();
    const std::string note = R"({"jsonrpc":"2.0","method":"notifications/roots/list_changed"})";
    send(note);
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    ASSERT_TRUE(app->waitForRequests("notifications/roots/list_changed", 1));
    send(request("1", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":1,"result":{}})");
    EXPECT_TRUE(finish().empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
    EXPECT_EQ(app->requests("notifications/roots/list_changed")[0].body, note);
    // Only the bridge's own initialized notification reaches the app.
    EXPECT_EQ(app->requests("notifications/initialized").size(), 1u);
    EXPECT_EQ(app->requests("initialize").size(), 1u);
}

TEST_F(AppForwarding, ConnectionAcceptedThenClosedIsALostConnection) {
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));

    // The app hangs up on every request from now on; the discovery file is unchanged.
    const int port = app->port();
    app->stop();
    ClosingListener listener(port);
    send(toolCall("2"));
    EXPECT_EQ(next(), offlineToolResult("2"));
    EXPECT_EQ(listener.accepted(), 1u);

    // The session is gone: the next message tries to open one, fails, and backs off.
    send(toolCall("3"));
    EXPECT_EQ(next(), offlineToolResult("3"));
    EXPECT_EQ(listener.accepted(), 2u);
    send(toolCall("4"));
    EXPECT_EQ(next(), offlineToolResult("4"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(listener.accepted(), 2u);
    EXPECT_EQ(bridge->stderrLines(),
              (std::vector<std::string>{"The connection to the app was lost",
                                        "The app is not available", "The app is not available"}));
    expectOneReplyEach({"1", "2", "3", "4"});
}

TEST_F(AppForwarding, StoppedAppWithItsFileLeftBehindIsNotAvailable) {
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    app->stop();
    send(toolCall("2"));
    EXPECT_EQ(next(), offlineToolResult("2"));
    send(request("3", "ping"));
    EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":3,"result":{}})");
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>(2, "The app is not available"));
    expectOneReplyEach({"1", "2", "3"});
}

TEST_F(AppForwarding, NoListenerAtTheDiscoveredPort) {
    app->publishAs(loopbackUrl(portWithoutListener()), app->token(), 4242);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>{"The app is not available"});
}

}  // namespace
