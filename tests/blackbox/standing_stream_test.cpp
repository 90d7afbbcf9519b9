// What the app says when no host message asked: the session's standing event stream, request
// streams that the app ended early and the bridge resumes, and responses that come on another
// stream than their request's.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app_fixture.h"

using namespace testing_support;

namespace {

const std::string kLog =
    R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":"hi"}})";
const std::string kRootsRequest = R"({"jsonrpc":"2.0","id":"app-1","method":"roots/list"})";
const std::string kStreamLost = "The app's event stream was lost";

std::string event(const std::string& text, const std::string& id = {}) {
    return (id.empty() ? "" : "id: " + id + "\n") + "data: " + text + "\n\n";
}

std::string result(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{"content":[]}})";
}

std::string pong(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{}})";
}

bool resumes(const RecordedRequest& request) {
    return request.header("Last-Event-ID").has_value();
}

class StandingStream : public AppFixture {
  protected:
    // A new app and bridge folder, for the next case of a table.
    void freshCase() {
        bridge.reset();
        app.reset();
        received.clear();
        AppFixture::SetUp();
    }

    // The next standing stream the bridge opens stays open, fed from the returned feed.
    std::shared_ptr<StreamFeed> serveStream() {
        auto feed = app->newFeed();
        app->onStream([feed](const RecordedRequest&) { return StreamFeed::reply(feed); });
        return feed;
    }

    // A ping opens the session, and with it the stream.
    void openSession(const std::string& idText = "1") {
        send(request(idText, "ping"));
        EXPECT_EQ(next(), pong(idText));
    }

    RecordedRequest streamRequest(std::size_t index) {
        EXPECT_TRUE(app->waitForStreamRequests(index + 1));
        const std::vector<RecordedRequest> seen = app->streamRequests();
        return index < seen.size() ? seen[index] : RecordedRequest{};
    }
};

TEST_F(StandingStream, OneStreamPerSessionRelaysWhatTheAppSendsAsItArrives) {
    const auto feed = serveStream();
    startBridge();
    openSession();

    const RecordedRequest get = streamRequest(0);
    EXPECT_EQ(get.httpMethod, "GET");
    EXPECT_EQ(get.header("Accept"), "text/event-stream");
    EXPECT_EQ(get.header("Authorization"), "Bearer " + app->token());
    EXPECT_EQ(get.header("Mcp-Session-Id"), "session-1");
    EXPECT_EQ(get.header("MCP-Protocol-Version"), "2025-06-18");
    EXPECT_FALSE(get.header("Last-Event-ID"));

    feed->send(event(kLog));
    EXPECT_EQ(next(), kLog);
    feed->send(event(kRootsRequest, "s-1"));
    EXPECT_EQ(next(), kRootsRequest);
    // The host's answer to the app's request goes to the app like any message.
    const std::string roots = R"({"jsonrpc":"2.0","id":"app-1","result":{"roots":[]}})";
    send(roots);
    EXPECT_TRUE(app->waitForRequests(5));
    EXPECT_EQ(app->requests().back().body, roots);
    openSession("2");

    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(app->streamRequests().size(), 1u);
    // Every request after initialize names the protocol version the app chose.
    for (const RecordedRequest& post : app->requests()) {
        EXPECT_EQ(post.header("MCP-Protocol-Version").has_value(), post.rpcMethod != "initialize")
            << post.body;
    }
    EXPECT_TRUE(finish().empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
}

TEST_F(StandingStream, ARefusedStreamIsAskedForAgainOnlyWhenTheRefusalMayPass) {
    const struct {
        const char* name;
        int status;
        bool askedAgain;
    } cases[] = {
        {"no stream offered", 405, false},
        {"session unknown", 404, false},
        {"not authorised", 401, false},
        {"server error", 500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (&c != &cases[0]) freshCase();
        app->onStream([&c](const RecordedRequest&) { return ScriptedReply::empty(c.status); }, -1);
        startBridge();
        openSession();
        std::this_thread::sleep_for(1500ms);  // past the first back-off
        openSession("2");
        if (c.askedAgain) {
            EXPECT_GE(app->streamRequests().size(), 2u);
        } else {
            EXPECT_EQ(app->streamRequests().size(), 1u);
        }
        EXPECT_TRUE(finish().empty());
        EXPECT_EQ(bridge->stderrLines(),
                  c.askedAgain
                      ? std::vector<std::string>{"The app refused its event stream (HTTP " +
                                                 std::to_string(c.status) + ")"}
                      : std::vector<std::string>{});
    }
}

TEST_F(StandingStream, ABrokenStreamIsReopenedFromItsLastEventAfterTheDelay) {
    const struct {
        const char* name;
        std::string retryField;
        std::chrono::milliseconds atLeast;
    } cases[] = {
        {"the app's retry", "retry: 300\n", 250ms},
        {"the first back-off", "", 900ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (&c != &cases[0]) freshCase();
        const auto first = serveStream();
        const auto second = serveStream();
        startBridge();
        openSession();
        streamRequest(0);

        first->send(c.retryField + event(kLog, "e-7"));
        EXPECT_EQ(next(), kLog);
        const auto broken = std::chrono::steady_clock::now();
        first->close(true);
        const RecordedRequest again = streamRequest(1);
        EXPECT_GE(again.arrival - broken, c.atLeast);
        EXPECT_EQ(again.header("Last-Event-ID"), "e-7");
        EXPECT_EQ(again.header("Mcp-Session-Id"), "session-1");
        second->send(event(kLog, "e-8"));
        EXPECT_EQ(next(), kLog);

        // Another break is not reported again; the third opening is refused, and that ends it.
        second->close(true);
        EXPECT_TRUE(app->waitForStreamRequests(3, 3s));
        EXPECT_EQ(streamRequest(2).header("Last-Event-ID"), "e-8");
        EXPECT_TRUE(finish().empty());
        if (!bridgeIsWindowsBuild()) {
            // Wine's WinHTTP takes a cut-off chunked body for complete: a clean end, not a loss.
            EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>{kStreamLost});
        }
        EXPECT_EQ(app->streamRequests().size(), 3u);
    }
}

TEST_F(StandingStream, TheStreamEndsWithItsSessionAndTheNextSessionOpensItsOwn) {
    const auto first = serveStream();
    const auto second = serveStream();
    startBridge();
    openSession();
    streamRequest(0);

    app->forgetSessions();  // the next message meets 404 and opens a new session
    openSession("2");
    EXPECT_TRUE(first->waitGone(3s));
    EXPECT_EQ(streamRequest(1).header("Mcp-Session-Id"), "session-2");
    second->send(event(kLog));
    EXPECT_EQ(next(), kLog);

    // At the end of input the stream is closed before the session's DELETE.
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_TRUE(finish().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 2s);
    EXPECT_TRUE(second->waitGone(1s));
    ASSERT_FALSE(app->requests().empty());
    EXPECT_EQ(app->requests().back().httpMethod, "DELETE");
    EXPECT_EQ(app->streamRequests().size(), 2u);
}

TEST_F(StandingStream, NoStreamIsOpenedWhileNoSessionIs) {
    serveStream();
    app->unpublish();
    startBridge();
    send(request("1", "ping"));
    EXPECT_EQ(next(), pong("1"));  // answered in the app's place
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(app->streamRequests().empty());

    app->publish();
    openSession("2");
    EXPECT_TRUE(app->waitForStreamRequests(1));
    EXPECT_TRUE(finish().empty());
}

TEST_F(StandingStream, AResponseOnTheStandingStreamEndsItsRequestAndNothingIsWrittenTwice) {
    const auto stream = serveStream();
    const auto held = app->newFeed();
    app->on("tools/call", StreamFeed::reply(held));
    startBridge();
    openSession();
    streamRequest(0);

    // The first call's own stream stays open; the queue holds the second behind it.
    send(toolCall("7"));
    send(toolCall("8"));
    EXPECT_TRUE(app->waitForRequests("tools/call", 1));
    stream->send(event(result("99")));  // answers nothing in flight: dropped
    stream->send(event(result("7")));
    EXPECT_EQ(next(), result("7"));
    EXPECT_TRUE(held->waitGone(3s));
    EXPECT_EQ(next(), appToolResult("8"));
    held->send(event(result("7")));
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"7", "8"});
    EXPECT_EQ(countReplies(received, "99"), 0u);
}

TEST_F(StandingStream, ARequestStreamEndedEarlyIsResumedFromItsLastEvent) {
    // A priming event: an id and empty data, and the delay before resuming.
    const std::string priming = "id: p-1\nretry: 200\ndata:\n\n";
    const struct {
        const char* name;
        std::vector<std::string> postChunks;
        bool breakPost;
        ScriptedReply resumed;
        std::chrono::milliseconds delay;  // 0: not resumed
        std::vector<std::string> lines;
    } cases[] = {
        {"resumed after an end",
         {priming},
         false,
         ScriptedReply::events(event(kLog, "p-2") + event(result("5"), "p-3")),
         200ms,
         {kLog, result("5")}},
        {"resumed after a break, no delay named",
         {event(kLog, "p-1")},
         true,
         ScriptedReply::events(event(result("5"), "p-2")),
         1000ms,
         {kLog, result("5")}},
        {"resumption refused",
         {priming},
         false,
         ScriptedReply::empty(405),
         200ms,
         {noReplyError("5")}},
        {"stream unknown", {priming}, false, ScriptedReply::empty(404), 200ms, {noReplyError("5")}},
        {"refused after a break",
         {priming},
         true,
         ScriptedReply::empty(405),
         200ms,
         {offlineToolResult("5")}},
        {"no event id",
         {event(kLog)},
         false,
         ScriptedReply::empty(405),
         0ms,
         {kLog, noReplyError("5")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Wine's WinHTTP takes a cut-off chunked body for complete: a clean end, not a break.
        if (bridgeIsWindowsBuild() && c.breakPost && c.delay == 200ms) continue;
        if (&c != &cases[0]) freshCase();
        ScriptedReply post = ScriptedReply::streamed(c.postChunks);
        post.dropConnection = c.breakPost;
        app->on("tools/call", post);
        app->onStream(resumes, [reply = c.resumed](const RecordedRequest&) { return reply; });
        startBridge();
        send(toolCall("5"));
        for (const std::string& line : c.lines)
            EXPECT_EQ(next(), line);
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(finish().empty());
        std::vector<RecordedRequest> resumptions;
        for (const RecordedRequest& get : app->streamRequests()) {
            if (resumes(get)) resumptions.push_back(get);
        }
        ASSERT_EQ(resumptions.size(), c.delay > 0ms ? 1u : 0u);
        if (!resumptions.empty()) {
            EXPECT_EQ(resumptions[0].header("Last-Event-ID"), "p-1");
            EXPECT_EQ(resumptions[0].header("Mcp-Session-Id"), "session-1");
            const auto posted = app->requests("tools/call").at(0).arrival;
            EXPECT_GE(resumptions[0].arrival - posted, c.delay - 50ms);
        }
    }
}

TEST_F(StandingStream, AnAppThatPollsIsResumedUntilItAnswers) {
    app->on("tools/call", ScriptedReply::streamed({"id: p-1\nretry: 100\ndata:\n\n"}));
    // Four resumed streams that the app ends at once with nothing in them, then the answer.
    app->onStream(
        resumes, [](const RecordedRequest&) { return ScriptedReply::streamed({":\n"}); }, 4);
    app->onStream(resumes, [](const RecordedRequest&) {
        return ScriptedReply::events(event(result("5"), "p-2"));
    });
    startBridge();
    send(toolCall("5"));
    EXPECT_EQ(next(), result("5"));
    EXPECT_TRUE(finish().empty());
    std::size_t resumptions = 0;
    for (const RecordedRequest& get : app->streamRequests()) {
        if (resumes(get)) {
            ++resumptions;
            EXPECT_EQ(get.header("Last-Event-ID"), "p-1");
        }
    }
    EXPECT_EQ(resumptions, 5u);
}

TEST_F(StandingStream, TheEndOfInputDoesNotWaitForTheStream) {
    const auto feed = serveStream();
    startBridge();
    openSession();
    streamRequest(0);
    const auto closing = std::chrono::steady_clock::now();
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 1500ms);
    EXPECT_TRUE(feed->waitGone(1s));
}

}  // namespace
