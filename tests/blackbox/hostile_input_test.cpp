// What a broken or hostile peer can put in front of the bridge: discovery files that are no
// regular file or are far too large, ids that a parsed number can't carry back, JSON that
// RapidJSON refuses though the grammar allows it, and a host that stops reading before the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app_fixture.h"
#include "fault_support.h"

using namespace testing_support;

namespace {

constexpr const char* kPing = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
constexpr const char* kPong = R"({"jsonrpc":"2.0","id":1,"result":{}})";

class HostileDiscoveryFile : public AppFixture {
  protected:
    // The bridge answers at once, offline, and the app sees nothing.
    void expectOfflineAnswers() {
        startBridge();
        for (int round = 0; round < 3; ++round) {
            send(kPing);
            EXPECT_EQ(next(5s), kPong);
        }
        EXPECT_TRUE(finish().empty());
        EXPECT_TRUE(app->requests().empty());
    }
};

TEST_F(HostileDiscoveryFile, AFifoThatNobodyWritesMeansNoApp) {
    if (bridgeIsWindowsBuild()) GTEST_SKIP() << "no FIFO on Windows";
#ifndef _WIN32
    std::filesystem::remove(discoveryPath);
    ASSERT_EQ(::mkfifo(discoveryPath.c_str(), 0600), 0);
    expectOfflineAnswers();
#endif
}

TEST_F(HostileDiscoveryFile, ALinkToAnEndlessDeviceMeansNoApp) {
    if (bridgeIsWindowsBuild()) GTEST_SKIP() << "no /dev/zero on Windows";
    std::filesystem::remove(discoveryPath);
    std::filesystem::create_symlink("/dev/zero", discoveryPath);
    expectOfflineAnswers();
}

TEST_F(HostileDiscoveryFile, AFileOfAGibibyteMeansNoApp) {
    // A valid discovery text followed by blanks: only its size is wrong. Sparse, so cheap to make.
    app->publish();
    std::filesystem::resize_file(discoveryPath, std::uintmax_t{1} << 30);
    expectOfflineAnswers();
}

TEST_F(HostileDiscoveryFile, ATokenThatWouldInjectAHeaderMeansNoApp) {
    app->publishAs(app->url(), "token-1\r\nX-Injected: yes", std::nullopt);
    expectOfflineAnswers();
}

// Ids that a parsed value would write back differently, or not at all.
const char* const kIds[] = {
    "12345678901234567890123",
    "18446744073709551616",
    "1E2",
    "-0",
    "1e400",
    "1.50",
    R"("a\/b")",
    R"("\ud800")",
};

class ExactIds : public AppFixture {};

TEST_F(ExactIds, OfflineAnswersAndScreeningErrorsCarryTheIdAsWritten) {
    app->unpublish();
    startBridge();
    for (const std::string id : kIds) {
        send(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})");
        EXPECT_EQ(next(), R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
        send(toolCall(id));
        EXPECT_EQ(next(), offlineToolResult(id));
        send(R"({"jsonrpc":"1.0","id":)" + id + R"(,"method":"ping"})");
        EXPECT_EQ(next(), errorLine(id, -32600, "Invalid JSON-RPC version"));
    }
    EXPECT_TRUE(finish().empty());
}

TEST_F(ExactIds, TheAppsRepliesComeBackAsWrittenAndNullIdsAreRepairedExactly) {
    startBridge();
    for (const std::string id : kIds) {
        // The app answers with the id as it wrote it, and with an error whose id is null.
        const std::string reply = R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{"s":"\udfff"}})";
        app->on(
            [id](const RecordedRequest& r) { return r.body.find("\"ping\"") != std::string::npos; },
            [reply](const RecordedRequest&) { return ScriptedReply::json(reply); });
        send(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})");
        EXPECT_EQ(next(), reply);
        app->on([](const RecordedRequest& r) { return r.body.find("\"x\"") != std::string::npos; },
                [](const RecordedRequest&) {
                    return ScriptedReply::json(
                        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32601,"message":"no"}})");
                });
        send(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"x"})");
        EXPECT_EQ(next(), errorLine(id, -32601, "no"));
    }
    EXPECT_TRUE(finish().empty());
}

// A lone surrogate escape is valid JSON: such a tool call is queued like any other and goes to the
// app byte for byte, and the app's reply holding one comes back byte for byte.
TEST_F(ExactIds, LoneSurrogatesAreRoutedAndRelayedByteForByte) {
    const std::string call =
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"echo","arguments":{"text":"\ud83d"}}})";
    const std::string reply =
        R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":"\ud83d"}]}})";
    // Matched by the body: the fake app's own parser refuses the line too.
    app->on([](const RecordedRequest& r) { return r.body.find("tools/call") != std::string::npos; },
            [reply](const RecordedRequest&) { return ScriptedReply::json(reply); });
    startBridge();
    send(call);
    EXPECT_EQ(next(), reply);
    const std::vector<RecordedRequest> calls = app->requests();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().body, call);

    app->unpublish();
    send(call);
    EXPECT_EQ(next(), offlineToolResult("7"));
    EXPECT_TRUE(finish().empty());
}

// The host stops reading while the bridge writes lines far larger than a pipe holds, then closes
// the input, and reads again only after a while.
struct BlockedOutputCase {
    const char* name;
    std::chrono::milliseconds readAgainAfter;  // counted from the end of input
    bool allRepliesCome;
};
void PrintTo(const BlockedOutputCase& c, std::ostream* os) {
    *os << c.name;
}

class BlockedOutput : public AppFixture, public ::testing::WithParamInterface<BlockedOutputCase> {};

// The end of input drains for 3 s, waits 1 s for the session's end, and 10 s at most for a line
// in the middle of being written.
constexpr auto kLongestExit = 20s;

TEST_P(BlockedOutput, TheExitLeavesOnlyWholeLines) {
    const BlockedOutputCase& c = GetParam();
    startBridge(R"("serializeToolCalls":false)");
    bridge->pauseOutput();
    std::vector<std::string> ids;
    for (int id = 1; id <= 8; ++id) {
        ids.push_back(std::to_string(id));
        // The app echoes the tool's name: a reply of a mebibyte each.
        send(toolCall(ids.back(), std::string(std::size_t{1} << 20, 'y')));
    }
    for (int id = 9; id <= 58; ++id) {
        ids.push_back(std::to_string(id));
        send(request(ids.back(), "ping"));
    }
    ASSERT_TRUE(app->waitForRequests("tools/call", 8, 10s));
    ASSERT_TRUE(app->waitForRequests("ping", 50, 10s));
    std::this_thread::sleep_for(300ms);  // the first reply is stuck in a full pipe by now

    bridge->closeInput();
    const auto closed = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(c.readAgainAfter);
    const bool runningWhenReadAgain = bridge->running();
    bridge->resumeOutput();
    EXPECT_EQ(bridge->wait(kLongestExit), 0);
    const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - closed);
    EXPECT_LT(exitMs, kLongestExit);
    ASSERT_TRUE(bridge->waitForOutputEnd());

    const std::string raw = bridge->rawOutput();
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n') << "the output ends with " << raw.size() << " bytes, the last "
                                << raw.substr(raw.size() - std::min<std::size_t>(raw.size(), 80));
    received = bridge->pendingLines();
    std::size_t replies = 0;
    for (const std::string& id : ids) {
        const std::size_t count = countReplies(received, id);
        EXPECT_LE(count, 1u) << id;
        replies += count;
    }
    EXPECT_EQ(ReplyAudit(received).invalidLines(), std::vector<std::string>{});
    if (c.allRepliesCome) expectOneReplyEach(ids);
    std::cout << "[ FIGURES  ] output blocked, read again " << c.readAgainAfter.count()
              << " ms after the end of input (bridge "
              << (runningWhenReadAgain ? "still running" : "gone") << "): exit after "
              << exitMs.count() << " ms, " << replies << " of " << ids.size() << " replies in "
              << raw.size() << " bytes, all lines whole: " << (raw.back() == '\n' ? "yes" : "no")
              << "\n";
}

INSTANTIATE_TEST_SUITE_P(HostileHost, BlockedOutput,
                         ::testing::Values(BlockedOutputCase{"ReadAgainDuringTheDrain", 1s, true},
                                           BlockedOutputCase{"ReadAgainWhileTheExitWaitsForALine",
                                                             5s, false}),
                         CaseName());

}  // namespace
