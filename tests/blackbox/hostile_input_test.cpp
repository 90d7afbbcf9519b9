// What a broken or hostile peer can put in front of the bridge: discovery files that are no
// regular file or are far too large, ids that a parsed number can't carry back, and JSON that
// RapidJSON refuses though the grammar allows it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app_fixture.h"

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

}  // namespace
