// Faults on the app's side while the host keeps talking: an app process killed in the middle of a
// call, an endpoint that accepts and never answers, a discovery file rewritten (and half-written)
// under calls in flight, and an app restarted on another port with a queue of tool calls. Every
// request must get exactly one reply, every line must be JSON, and the bridge must neither crash
// nor hang.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <ostream>

#include "app_fixture.h"
#include "fault_support.h"

using namespace testing_support;

namespace {

const std::filesystem::path kAppProcess = MCP_BRIDGE_FAKE_APP_PROCESS;
const std::string kDepthReply =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})";

std::string ping(const std::string& idText) {
    return request(idText, "ping");
}

class FaultInjection : public AppFixture {
  protected:
    void SetUp() override {
        // Under Wine these scenarios would measure Wine's process, pipe and WinHTTP behaviour
        // and timing rather than the bridge's.
        if (bridgeIsWindowsBuild()) GTEST_SKIP() << "fault injection runs against the Linux build";
        AppFixture::SetUp();
    }

    // Reads lines until one is a reply with this id; notifications and other replies on the way
    // are kept in `received` too.
    std::optional<std::string> replyTo(const std::string& idText,
                                       std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            const std::optional<std::string> line = bridge->readLine(left);
            if (!line) return std::nullopt;
            received.push_back(*line);
            if (countReplies({*line}, idText) > 0) return line;
        }
    }
};

TEST_F(FaultInjection, AppKilledMidCallAnswersThatCallOfflineAndLaterCallsRecover) {
    app.reset();  // the apps of this test are processes
    startBridge();
    std::vector<std::string> ids;
    std::vector<std::string> expectedStderr;
    int nextId = 1;
    const auto newId = [&] {
        ids.push_back(std::to_string(nextId++));
        return ids.back();
    };
    const int cycles = 3;
    std::vector<std::unique_ptr<AppProcess>> healthyApps;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        AppProcess crashing(kAppProcess, discoveryPath, "crashing-" + std::to_string(cycle),
                            {"tools/call"});
        const std::string inFlight = newId();
        send(toolCall(inFlight));
        ASSERT_TRUE(crashing.waitForRequest("tools/call", inFlight));
        crashing.kill();
        EXPECT_EQ(replyTo(inFlight), offlineToolResult(inFlight));
        expectedStderr.push_back("The connection to the app was lost");

        // While no app runs, and through the back-off once one is back, calls are answered
        // offline; then the app's own answers come again.
        const std::string whileDown = newId();
        send(toolCall(whileDown));
        EXPECT_EQ(replyTo(whileDown), offlineToolResult(whileDown));
        expectedStderr.push_back("The app is not available");
        healthyApps.push_back(std::make_unique<AppProcess>(kAppProcess, discoveryPath,
                                                           "healthy-" + std::to_string(cycle)));
        bool recovered = false;
        for (int attempt = 0; attempt < 50 && !recovered; ++attempt) {
            const std::string id = newId();
            send(toolCall(id));
            const std::optional<std::string> reply = replyTo(id);
            ASSERT_TRUE(reply.has_value()) << "no reply to " << id;
            recovered = *reply == appToolResult(id);
            if (!recovered) {
                EXPECT_EQ(*reply, offlineToolResult(id));
                expectedStderr.push_back("The app is not available");
                std::this_thread::sleep_for(100ms);
            }
        }
        EXPECT_TRUE(recovered) << "cycle " << cycle;
        for (int i = 0; i < 5; ++i) {
            const std::string id = newId();
            send(toolCall(id));
            EXPECT_EQ(replyTo(id), appToolResult(id));
        }
    }
    finish();
    auditReplies(ids, cycles);
    EXPECT_EQ(bridge->stderrLines(), expectedStderr);
}

TEST_F(FaultInjection, EndpointThatNeverAnswersDelaysTheOpeningButLosesNothing) {
    app.reset();
    SilentListener silent;
    writeFile(discoveryPath, discoveryJson(loopbackUrl(silent.port()), "t", 1));
    startBridge();
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> ids = {"1"};
    send(toolCall("1"));
    for (int id = 2; id <= 300; ++id) {
        ids.push_back(std::to_string(id));
        send(id % 3 == 0 ? request(ids.back(), "tools/list") : ping(ids.back()));
    }
    // Input is still read and judged while every message waits for the opening.
    send(std::string(300, '['));
    EXPECT_EQ(next(5s), kDepthReply);

    // The opening gives up after its 15-second read limit; everything is answered offline.
    readRepliesTo(ids, 40s);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 14s);
    EXPECT_EQ(ReplyAudit(received).repliesTo("1"), 1u);
    EXPECT_EQ(std::count(received.begin(), received.end(), offlineToolResult("1")), 1);
    finish();
    auditReplies(ids, 1);
    EXPECT_EQ(silent.accepted(), 1u);
    EXPECT_EQ(bridge->stderrLines(),
              std::vector<std::string>(ids.size(), "The app is not available"));
}

TEST_F(FaultInjection, CallThatNeverReturnsHoldsUpNeitherInputNorTheEndOfTheRun) {
    const auto never = std::make_shared<Gate>();
    app->hold("tools/call", never);
    startBridge();
    send(toolCall("\"hung\""));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    // The fake app lets a held reply go after a minute at the latest.
    const auto heldUntil = std::chrono::steady_clock::now() + 50s;

    std::vector<std::string> ids;
    std::string burst;
    const int pings = kSanitizerBuild ? 500 : 2000;
    for (int id = 1; id <= pings; ++id) {
        ids.push_back(std::to_string(id));
        burst += ping(ids.back()) + "\n";
    }
    ids.push_back("\"big\"");
    burst += R"({"jsonrpc":"2.0","id":"big","method":"ping","params":{"blob":")" +
             std::string(4 * 1024 * 1024, 'b') + "\"}}\n";
    ASSERT_TRUE(writeWithin(*bridge, burst, 120s));
    readRepliesTo(ids, 120s);

    // The run ends within the drain and close limits although the call still hangs; that call
    // goes unanswered, as any message still running at the end of the run does.
    const auto closed = std::chrono::steady_clock::now();
    ASSERT_LT(closed, heldUntil) << "too slow to tell a hanging call from a late one";
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(15s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 8s);
    bridge->waitForOutputEnd();
    const std::vector<std::string> rest = bridge->pendingLines();
    received.insert(received.end(), rest.begin(), rest.end());
    auditReplies(ids, 1);
    EXPECT_EQ(ReplyAudit(received).repliesTo("\"hung\""), 0u);
    expectOnlyFailureLines();
}

// Writes a file in place, in two parts, so that a reader can see it half-written.
void writeInTwoParts(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::size_t half = text.size() / 2;
    out.write(text.data(), static_cast<std::streamsize>(half));
    out.flush();
    std::this_thread::sleep_for(1ms);
    out.write(text.data() + half, static_cast<std::streamsize>(text.size() - half));
}

TEST_F(FaultInjection, DiscoveryFileRewrittenUnderCallsInFlight) {
    FakeApp other(dir / "other-discovery.json", "token-other", 7);
    other.setTools(kSnapshotToolsCompact);
    const std::string mine = discoveryJson(app->url(), app->token(), 4242);
    const std::string theirs = discoveryJson(other.url(), other.token(), 7);
    // Mostly whole files naming one app or the other, with short spells of half-written,
    // garbage and empty files, a restart of the same app (new pid) and, now and then, no file.
    const std::vector<std::string> versions = {
        mine,
        mine,
        mine,
        mine.substr(0, mine.size() / 2),
        mine,
        mine,
        theirs,
        theirs,
        theirs,
        "{",
        theirs,
        theirs,
        discoveryJson(app->url(), app->token(), 4243),
        "",
        discoveryJson(app->url(), app->token(), 4243),
        theirs.substr(0, 20),
        theirs,
    };
    startBridge();

    std::atomic<bool> stop = false;
    std::atomic<std::size_t> rewrites = 0;
    std::thread rewriter([&] {
        for (std::size_t i = 0; !stop && i < 100000; ++i) {
            const std::string& text = versions[i % versions.size()];
            if (i % 11 == 10) {
                std::filesystem::remove(discoveryPath);
            } else {
                writeInTwoParts(discoveryPath, text);
            }
            ++rewrites;
            std::this_thread::sleep_for(15ms);
        }
    });

    std::vector<std::string> ids;
    for (int id = 1; id <= 400; ++id) {
        ids.push_back(std::to_string(id));
        switch (id % 5) {
            case 0:
                send(toolCall(ids.back()));
                break;
            case 1:
                send(request(ids.back(), "tools/list"));
                break;
            case 2: {
                ids.push_back("\"b" + ids.back() + "\"");
                send("[" + ping(ids[ids.size() - 2]) + "," + toolCall(ids.back()) + "]");
                break;
            }
            default:
                send(ping(ids.back()));
        }
        std::this_thread::sleep_for(10ms);
    }
    readRepliesTo(ids, 90s);
    stop = true;
    rewriter.join();
    finish();
    auditReplies(ids, rewrites);
    expectOnlyFailureLines();
    // Both apps carried calls: the sessions really moved with the file.
    EXPECT_GE(app->requests("tools/call").size() + app->requests("batch").size(), 1u);
    EXPECT_GE(other.requests("tools/call").size() + other.requests("batch").size(), 1u);
    std::cout << "[ FAULTS   ] " << rewrites << " rewrites of the discovery file; the apps saw "
              << app->requests().size() << " and " << other.requests().size() << " requests, "
              << bridge->stderrLines().size() << " messages were answered offline\n";
}

// The app goes away while tool calls wait in the queue, and a new one comes up on another port.
struct RestartCase {
    const char* name;
    bool killed;                      // killed as a process, or stopped cleanly in this process
    std::chrono::milliseconds pause;  // from the old app's end to the new app's start
};
void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class AppRestartWithQueuedCalls : public FaultInjection,
                                  public ::testing::WithParamInterface<RestartCase> {};

TEST_P(AppRestartWithQueuedCalls, EveryQueuedCallGetsOneReply) {
    const RestartCase& c = GetParam();
    std::unique_ptr<AppProcess> oldProcess;
    const auto gate = std::make_shared<Gate>();
    if (c.killed) {
        app.reset();
        oldProcess = std::make_unique<AppProcess>(kAppProcess, discoveryPath, "old",
                                                  std::vector<std::string>{"tools/call"});
    } else {
        app->hold("tools/call", gate);
    }
    startBridge();
    std::vector<std::string> ids;
    for (int id = 1; id <= 100; ++id) {
        ids.push_back(std::to_string(id));
        send(toolCall(ids.back()));
    }
    if (c.killed) {
        ASSERT_TRUE(oldProcess->waitForRequest("tools/call", "1"));
    } else {
        ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    }

    std::unique_ptr<FakeApp> fresh;
    const auto startFresh = [&] {
        fresh = std::make_unique<FakeApp>(discoveryPath, "new-token", 5151);  // publishes itself
        fresh->setTools(kSnapshotToolsCompact);
    };
    if (c.pause.count() == 0) startFresh();
    if (c.killed) {
        oldProcess->kill();
    } else {
        app->stop();
    }
    if (c.pause.count() > 0) {
        std::this_thread::sleep_for(c.pause);
        startFresh();
    }
    readRepliesTo(ids, 60s);
    // Calls sent once the new app is up reach it, whatever the queue met on the way.
    bool recovered = false;
    for (int attempt = 0; attempt < 50 && !recovered; ++attempt) {
        ids.push_back("\"probe" + std::to_string(attempt) + "\"");
        send(toolCall(ids.back()));
        const std::optional<std::string> reply = replyTo(ids.back());
        recovered = reply == appToolResult(ids.back());
        if (!recovered) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(recovered);
    finish();
    auditReplies(ids, 1);
    expectOnlyFailureLines();
    EXPECT_EQ(fresh->requests("initialize").size(), 1u);
    // Each reply is an app's result or the offline one, never anything else.
    for (const std::string& id : ids) {
        const bool known =
            std::count(received.begin(), received.end(), appToolResult(id)) +
                std::count(received.begin(), received.end(), offlineToolResult(id)) ==
            1;
        EXPECT_TRUE(known) << "call " << id;
    }
    EXPECT_GE(fresh->requests("tools/call").size(), 1u);
    if (c.pause.count() == 0) {
        EXPECT_GE(fresh->requests("tools/call").size(), 99u);
    }
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, AppRestartWithQueuedCalls,
                         ::testing::Values(RestartCase{"KilledAndReplacedAtOnce", true, 0ms},
                                           RestartCase{"KilledAndReplacedAfterABreak", true,
                                                       1500ms},
                                           RestartCase{"StoppedAndReplacedAtOnce", false, 0ms}),
                         CaseName());

}  // namespace
