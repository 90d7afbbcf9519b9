// Tool calls one at a time in arrival order, withdrawing a waiting call, and input that keeps
// flowing while the app is slow or silent.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "app_fixture.h"

using namespace testing_support;

namespace {

constexpr char kUnserialized[] = R"("serializeToolCalls":false)";
// How long to watch for a request that must not come.
constexpr auto kQuiet = 300ms;

std::string pingReply(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{}})";
}

std::string snapshotToolList(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{"tools":)" + kSnapshotToolsCompact +
           "}}";
}

std::vector<std::string> idsOf(const std::vector<RecordedRequest>& requests) {
    std::vector<std::string> ids;
    for (const RecordedRequest& request : requests) {
        ids.push_back(request.idText);
    }
    return ids;
}

class ToolQueue : public AppFixture {};

TEST_F(ToolQueue, CallsReachTheAppOneAfterAnotherWhileOtherMessagesGoOn) {
    const auto first = std::make_shared<Gate>();
    const auto second = std::make_shared<Gate>();
    const auto third = std::make_shared<Gate>();
    app->hold("tools/call", first);
    app->hold("tools/call", second);
    app->hold("tools/call", third);
    startBridge();
    send(toolCall("1"));
    send(toolCall("2"));
    send(toolCall("3"));
    send(request("4", "tools/list"));

    // The list is answered while the first call is still running.
    EXPECT_EQ(next(), snapshotToolList("4"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    EXPECT_FALSE(app->waitForRequests("tools/call", 2, kQuiet));

    first->open();
    EXPECT_EQ(next(), appToolResult("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 2));
    EXPECT_FALSE(app->waitForRequests("tools/call", 3, kQuiet));
    second->open();
    EXPECT_EQ(next(), appToolResult("2"));
    third->open();
    EXPECT_EQ(next(), appToolResult("3"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(idsOf(app->requests("tools/call")), (std::vector<std::string>{"1", "2", "3"}));
    expectOneReplyEach({"1", "2", "3", "4"});
}

TEST_F(ToolQueue, CancelledQueuedCallNeverReachesTheAppAndGetsNoReply) {
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    send(toolCall("2"));
    send(toolCall("3"));
    send(cancelled("2"));
    // Input is taken in order: once the ping is answered, the cancellation has been seen.
    send(request("9", "ping"));
    EXPECT_EQ(next(), pingReply("9"));

    gate->open();
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_EQ(next(), appToolResult("3"));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(idsOf(app->requests("tools/call")), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(app->requests("notifications/cancelled").empty());
    EXPECT_EQ(countReplies(received, "2"), 0u);
    expectOneReplyEach({"1", "3", "9"});
}

TEST_F(ToolQueue, CancellingTheRunningCallIsForwardedAndItsReplyStillComes) {
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    send(cancelled("1"));
    ASSERT_TRUE(app->waitForRequests("notifications/cancelled", 1));
    EXPECT_EQ(app->requests("notifications/cancelled")[0].body, cancelled("1"));
    gate->open();
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1"});
}

// Two lines queued behind a running call, a cancellation, and what reaches the app.
struct CancelCase {
    const char* name;
    std::string queuedB;
    std::string queuedC;
    std::string cancel;
    bool reachesB;
    bool reachesC;
    bool cancelForwarded;
};
void PrintTo(const CancelCase& c, std::ostream* os) {
    *os << c.name;
}

class CancelMatching : public AppFixture, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelMatching, WithdrawsOnlyTheOldestCallWithThatId) {
    const CancelCase& c = GetParam();
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    send(toolCall("100", "running"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    send(c.queuedB);
    send(c.queuedC);
    send(c.cancel);
    send(request("9", "ping"));
    EXPECT_TRUE(awaitLine(pingReply("9")));
    gate->open();
    finish();  // waits for everything in flight

    const auto reached = [&](const std::string& line) {
        const std::vector<RecordedRequest> seen = app->requests();
        return std::any_of(seen.begin(), seen.end(),
                           [&](const RecordedRequest& request) { return request.body == line; });
    };
    EXPECT_EQ(reached(c.queuedB), c.reachesB);
    EXPECT_EQ(reached(c.queuedC), c.reachesC);
    EXPECT_EQ(reached(c.cancel), c.cancelForwarded);
    expectOneReplyEach({"100", "9"});
}

const std::string kBatchWithCall = "[" + toolCall("7", "inBatch") + "]";

INSTANTIATE_TEST_SUITE_P(
    ToolQueue, CancelMatching,
    ::testing::Values(CancelCase{"NumberId", toolCall("7", "b"), toolCall("8", "c"), cancelled("7"),
                                 false, true, false},
                      CancelCase{"StringId", toolCall(R"("a")", "b"), toolCall("8", "c"),
                                 cancelled(R"("a")"), false, true, false},
                      CancelCase{"StringDoesNotMatchNumber", toolCall("7", "b"), toolCall("8", "c"),
                                 cancelled(R"("7")"), true, true, true},
                      CancelCase{"IntegerMatchesFractionId", toolCall("7.0", "b"),
                                 toolCall("8", "c"), cancelled("7"), false, true, false},
                      CancelCase{"FractionRequestIdIsNoCancellation", toolCall("7.5", "b"),
                                 toolCall("8", "c"), cancelled("7.5"), true, true, true},
                      CancelCase{"ObjectRequestIdIsNoCancellation", toolCall("7", "b"),
                                 toolCall("8", "c"), cancelled(R"({"id":7})"), true, true, true},
                      CancelCase{"OlderOfTwoSameIds", toolCall("7", "b"), toolCall("7", "c"),
                                 cancelled("7"), false, true, false},
                      CancelCase{"NotificationWithIdIsAnOrdinaryMessage", toolCall("7", "b"),
                                 toolCall("8", "c"),
                                 R"({"jsonrpc":"2.0","id":50,"method":"notifications/cancelled",)"
                                 R"("params":{"requestId":7}})",
                                 true, true, true},
                      CancelCase{"QueuedBatchNeverMatches", kBatchWithCall, toolCall("8", "c"),
                                 cancelled("7"), true, true, true},
                      CancelCase{"UnknownId", toolCall("7", "b"), toolCall("8", "c"),
                                 cancelled("99"), true, true, true}),
    CaseName());

TEST_F(ToolQueue, BatchHoldingACallWaitsItsTurnWhileOtherBatchesRun) {
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    const std::string queued = "[" + toolCall("2") + "," + request("3", "ping") + "]";
    send(queued);
    send("[" + request("4", "ping") + "," + request("5", "ping") + "]");
    EXPECT_EQ(next(), "[" + pingReply("4") + "," + pingReply("5") + "]");
    EXPECT_EQ(app->requests("batch").size(), 1u);

    gate->open();
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_EQ(next(), "[" + appToolResult("2") + "," + pingReply("3") + "]");
    EXPECT_TRUE(finish().empty());
    ASSERT_EQ(app->requests("batch").size(), 2u);
    EXPECT_EQ(app->requests("batch")[1].body, queued);
    expectOneReplyEach({"1", "2", "3", "4", "5"});
}

TEST_F(ToolQueue, UnserializedCallsOverlapAndCancellationIsForwarded) {
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate, 2);
    startBridge(kUnserialized);
    send(toolCall("1"));
    send(toolCall("2"));
    // Both are at the app while neither has been answered.
    ASSERT_TRUE(app->waitForRequests("tools/call", 2));
    send(cancelled("2"));
    ASSERT_TRUE(app->waitForRequests("notifications/cancelled", 1));
    gate->open();
    std::vector<std::string> lines = {next(), next()};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{appToolResult("1"), appToolResult("2")}));
    EXPECT_TRUE(finish().empty());
}

// Input keeps being read and answered while a tool call hangs at the app.
struct SilentAppCase {
    const char* name;
    std::string extraConfig;
};
void PrintTo(const SilentAppCase& c, std::ostream* os) {
    *os << c.name;
}

class SilentApp : public AppFixture, public ::testing::WithParamInterface<SilentAppCase> {};

TEST_P(SilentApp, OtherMessagesAreAnsweredWhileACallHangs) {
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge(GetParam().extraConfig);
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    send(request("2", "ping"));
    send(request("3", "tools/list"));
    send(R"({"jsonrpc":"2.0","id":4,"method":"initialize","params":{}})");
    send(std::string(300, '['));
    std::vector<std::string> lines = {next(), next(), next(), next()};
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {
        pingReply("2"), snapshotToolList("3"),
        R"({"jsonrpc":"2.0","id":4,"result":{"protocolVersion":"2025-06-18","capabilities":)"
        R"({"tools":{"listChanged":true}},"serverInfo":{"name":"fake-app","version":"2.0.0"}}})",
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);

    gate->open();
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1", "2", "3", "4"});
}

INSTANTIATE_TEST_SUITE_P(ToolQueue, SilentApp,
                         ::testing::Values(SilentAppCase{"Serialized", ""},
                                           SilentAppCase{"Unserialized", kUnserialized}),
                         CaseName());

TEST_F(ToolQueue, InputIsReadWhileTheOpeningHangs) {
    const auto gate = std::make_shared<Gate>();
    app->hold("initialize", gate);
    startBridge();
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("initialize", 1));
    send(request("2", "ping"));
    // Too deep to be parsed: answered on the spot, though every other message waits for the
    // opening.
    send(std::string(300, '{'));
    EXPECT_EQ(
        next(),
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})");
    gate->open();
    std::vector<std::string> lines = {next(), next()};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{appToolResult("1"), pingReply("2")}));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(app->requests("initialize").size(), 1u);
    expectOneReplyEach({"1", "2"});
}

}  // namespace
