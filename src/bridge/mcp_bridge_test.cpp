// The bridge object with no app present: routing, in-flight accounting, the initialize answer and
// the tool-call queue, observed through a recording writer.
#include "bridge/mcp_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Records every line; can hold the writing thread until released.
struct Output {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::string holdOn;  // a line containing this text blocks its writer until release()
    bool released = true;

    LineWriter writer() {
        return [this](const std::string& line) {
            std::unique_lock<std::mutex> lock(mutex);
            lines.push_back(line);
            changed.notify_all();
            if (!holdOn.empty() && line.find(holdOn) != std::string::npos) {
                changed.wait(lock, [this] { return released; });
            }
        };
    }
    void release() {
        const std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return lines.size() >= count; });
    }
    std::vector<std::string> sorted() {
        const std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> copy = lines;
        std::sort(copy.begin(), copy.end());
        return copy;
    }
};

BridgeConfig offlineConfig(bool serialize = true) {
    BridgeConfig config;
    config.discoveryPath = "/nonexistent/mcp-bridge-test/discovery.json";
    config.offlineMessage = "offline";
    config.snapshot.initializeJson =
        R"({"protocolVersion":"p","capabilities":{"tools":{"listChanged":false,"a":1,"b":2},"x":{}},"serverInfo":{}})";
    config.snapshot.toolsJson = R"([{"name":"t"}])";
    config.serializeToolCalls = serialize;
    return config;
}

const std::string kDeepReply =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})";

TEST(McpBridge, RejectsTooDeepLinesOnTheSpotWithoutCountingThem) {
    Output output;
    McpBridge bridge(offlineConfig(), output.writer());
    bridge.submit(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + std::string(300, '[') +
                  std::string(300, ']') + "}");
    ASSERT_EQ(output.lines, std::vector<std::string>{kDeepReply});
    EXPECT_TRUE(bridge.drain(0));
}

TEST(McpBridge, DrainReportsWhetherMessagesAreStillInFlight) {
    Output output;
    output.holdOn = "\"id\":1";
    output.released = false;
    McpBridge bridge(offlineConfig(false), output.writer());
    EXPECT_TRUE(bridge.drain(0));
    bridge.submit(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    ASSERT_TRUE(output.waitFor(1));
    EXPECT_FALSE(bridge.drain(0));
    EXPECT_FALSE(bridge.drain(20));
    output.release();
    EXPECT_TRUE(bridge.drain(5000));
}

TEST(McpBridge, AnswersOnTheCallingThreadWhenNoThreadCanBeStarted) {
    Output output;
    int launches = 0;
    McpBridge bridge(offlineConfig(false), output.writer(), [&](std::function<void()>) {
        ++launches;
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    bridge.submit(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    bridge.submit(R"({"jsonrpc":"2.0","id":2,"method":"tools/call"})");
    EXPECT_EQ(launches, 2);
    EXPECT_TRUE(bridge.drain(0));
    ASSERT_EQ(output.lines.size(), 2u);
    EXPECT_EQ(output.lines[0], R"({"jsonrpc":"2.0","id":1,"result":{}})");
    EXPECT_EQ(
        output.lines[1],
        R"({"jsonrpc":"2.0","id":2,"result":{"isError":true,"content":[{"type":"text","text":"offline"}]}})");
}

// Past the high mark, submit waits for a message to finish: no message is refused or lost, and
// queued tool calls, which take no thread of their own, don't count.
TEST(McpBridge, PausesIntakeAtTheHighMarkOfMessageThreads) {
    Output output;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::function<void()>> held;
    const ThreadLauncher holdTasks = [&](std::function<void()> task) {
        const std::lock_guard<std::mutex> lock(mutex);
        held.push_back(std::move(task));
        changed.notify_all();
    };
    const auto launched = [&] {
        const std::lock_guard<std::mutex> lock(mutex);
        return held.size();
    };
    McpBridge bridge(offlineConfig(true), output.writer(), holdTasks, systemHttpClient(), 2);
    bridge.submit(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    bridge.submit(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    bridge.submit(R"({"jsonrpc":"2.0","id":3,"method":"tools/call"})");  // queued, not held
    std::thread intake([&] { bridge.submit(R"({"jsonrpc":"2.0","id":4,"method":"ping"})"); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(launched(), 2u);  // the fourth message waits for a thread

    std::function<void()> first;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        first = std::move(held[0]);
    }
    first();
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return held.size() == 3; }));
    }
    intake.join();
    for (std::size_t index = 1; index < 3; ++index)
        held[index]();
    EXPECT_TRUE(bridge.drain(5000));
    EXPECT_EQ(output.sorted().size(), 4u);
}

TEST(McpBridge, AnswersInitializeFromTheSnapshotWithListChanged) {
    const struct {
        std::string snapshot;
        std::string line;
        std::string reply;
    } cases[] = {
        // Removing "listChanged" moves the last member into its place; the new one goes last.
        {offlineConfig().snapshot.initializeJson,
         R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}})",
         R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"p","capabilities":{"tools":{"b":2,"a":1,"listChanged":true},"x":{}},"serverInfo":{}}})"},
        {R"({"capabilities":"none","z":1})", R"({"id":"s","method":"initialize"})",
         R"({"jsonrpc":"2.0","id":"s","result":{"z":1,"capabilities":{"tools":{"listChanged":true}}}})"},
        {R"({"capabilities":{"tools":[]}})", R"({"method":"initialize"})",
         R"({"jsonrpc":"2.0","id":null,"result":{"capabilities":{"tools":{"listChanged":true}}}})"},
        {R"({})", R"({"jsonrpc":"2.0","id":2,"method":"initialize"})",
         R"({"jsonrpc":"2.0","id":2,"result":{"capabilities":{"tools":{"listChanged":true}}}})"},
    };
    for (const auto& c : cases) {
        Output output;
        BridgeConfig config = offlineConfig(false);
        config.snapshot.initializeJson = c.snapshot;
        McpBridge bridge(std::move(config), output.writer());
        bridge.handle(c.line);
        EXPECT_EQ(output.lines, std::vector<std::string>{c.reply}) << c.line;
    }
}

TEST(McpBridge, SwallowsInitializedAndAnswersOtherMessagesOffline) {
    Output output;
    McpBridge bridge(offlineConfig(false), output.writer());
    bridge.handle(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    bridge.handle(R"({"jsonrpc":"2.0","method":"notifications/progress"})");
    EXPECT_TRUE(output.lines.empty());
    bridge.handle(R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"n"},)"
                  R"({"jsonrpc":"2.0","id":2,"method":"tools/list"}])");
    bridge.handle("not json");
    ASSERT_EQ(output.lines.size(), 2u);
    EXPECT_EQ(
        output.lines[0],
        R"([{"jsonrpc":"2.0","id":1,"result":{}},{"jsonrpc":"2.0","id":2,"result":{"tools":[{"name":"t"}]}}])");
    EXPECT_EQ(
        output.lines[1],
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: the message is not valid JSON"}})");
}

// The worker is held inside the first call's reply, so later calls stay queued.
class ToolQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        output.holdOn = "\"id\":1,";
        output.released = false;
        bridge = std::make_unique<McpBridge>(offlineConfig(true), output.writer());
        bridge->submit(call(1));
        ASSERT_TRUE(output.waitFor(1));
    }
    static std::string call(int id) {
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call"})";
    }
    static std::string cancel(const std::string& requestId) {
        return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
               requestId + "}}";
    }
    std::vector<int> answeredIds() {
        std::vector<int> ids;
        for (const std::string& line : output.lines) {
            const auto at = line.find("\"id\":");
            ids.push_back(std::stoi(line.substr(at + 5)));
        }
        return ids;
    }
    Output output;
    std::unique_ptr<McpBridge> bridge;
};

TEST_F(ToolQueue, CancellationWithdrawsOnlyTheOldestMatchingQueuedCall) {
    bridge->submit(call(2));
    bridge->submit(call(3));
    bridge->submit(call(2));
    bridge->submit(cancel("2"));
    output.release();
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(answeredIds(), (std::vector<int>{1, 3, 2}));
}

TEST(ToolQueueCancellation, MatchesIdsByJsonValue) {
    const struct {
        std::string queuedId;
        std::string requestId;
        bool withdrawn;
    } cases[] = {
        {"7", "7", true},
        {"7.0", "7", true},
        {"7", R"("7")", false},
        {R"("7")", R"("7")", true},
        {"7", "7.5", false},
        {"7", "true", false},
        {"18446744073709551615", "18446744073709551615", true},
    };
    for (const auto& c : cases) {
        Output output;
        output.holdOn = R"("id":"first")";
        output.released = false;
        McpBridge bridge(offlineConfig(true), output.writer());
        bridge.submit(R"({"jsonrpc":"2.0","id":"first","method":"tools/call"})");
        ASSERT_TRUE(output.waitFor(1));
        bridge.submit(R"({"jsonrpc":"2.0","id":)" + c.queuedId + R"(,"method":"tools/call"})");
        bridge.submit(
            R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
            c.requestId + "}}");
        output.release();
        ASSERT_TRUE(bridge.drain(5000));
        EXPECT_EQ(output.lines.size(), c.withdrawn ? 1u : 2u)
            << c.queuedId << " vs " << c.requestId;
    }
}

TEST_F(ToolQueue, ACancellationCarryingAnIdOrNamingABatchIsNoCancellation) {
    bridge->submit(R"([{"jsonrpc":"2.0","id":5,"method":"tools/call"}])");
    bridge->submit(cancel("5"));
    bridge->submit(call(6));
    bridge->submit(
        R"({"jsonrpc":"2.0","id":9,"method":"notifications/cancelled","params":{"requestId":6}})");
    output.release();
    ASSERT_TRUE(bridge->drain(5000));
    // 9 is routed as an ordinary request and answered offline; the batch and 6 both ran.
    EXPECT_EQ(output.lines.size(), 4u);
    EXPECT_NE(std::find_if(output.lines.begin(), output.lines.end(),
                           [](const std::string& l) { return l.rfind("[{", 0) == 0; }),
              output.lines.end());
}

TEST_F(ToolQueue, ACancelledRunningCallThatEndsInTimeKeepsItsPlace) {
    bridge->submit(call(2));
    bridge->submit(cancel("1"));
    output.release();
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(answeredIds(), (std::vector<int>{1, 2}));
}

// The thread that watches a cancelled running call is held back from starting until a moment
// after the bridge began to end: the bridge must wait for it rather than leave it to touch a
// bridge that is gone.
TEST(CancelledCallWatch, TheBridgeEndsOnlyAfterItsWatchingThread) {
    Output output;
    output.holdOn = "\"id\":1,";
    output.released = false;
    std::mutex mutex;
    std::vector<std::thread> threads;
    bool gateOpen = false;
    std::condition_variable gateOpened;
    const auto heldBackFirst = [&](std::function<void()> task) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!threads.empty()) {
            threads.emplace_back(std::move(task));
            return;
        }
        threads.emplace_back([&, task = std::move(task)] {
            {
                std::unique_lock<std::mutex> gate(mutex);
                gateOpened.wait(gate, [&] { return gateOpen; });
            }
            task();
        });
    };
    auto bridge = std::make_unique<McpBridge>(offlineConfig(true), output.writer(), heldBackFirst);
    bridge->submit(R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})");
    ASSERT_TRUE(output.waitFor(1));
    bridge->submit(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
    output.release();
    ASSERT_TRUE(bridge->drain(5000));

    std::thread opener([&] {
        std::this_thread::sleep_for(200ms);
        const std::lock_guard<std::mutex> lock(mutex);
        gateOpen = true;
        gateOpened.notify_all();
    });
    bridge.reset();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(gateOpen) << "the bridge ended before its watching thread had run";
    }
    opener.join();
    for (std::thread& thread : threads)
        thread.join();
}

TEST_F(ToolQueue, RecognisesMethodNamesWrittenWithEscapes) {
    bridge->submit(R"({"jsonrpc":"2.0","id":2,"method":"tools\u002fcall"})");
    bridge->submit(R"({"jsonrpc":"2.0","id":3,"method":"tools\/call"})");
    bridge->submit(
        R"({"jsonrpc":"2.0","method":"notifications\/cancelled","params":{"requestId":2}})");
    output.release();
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(answeredIds(), (std::vector<int>{1, 3}));
}

TEST_F(ToolQueue, OtherMessagesDoNotWaitForTheWorker) {
    bridge->submit(call(2));
    bridge->submit(R"({"jsonrpc":"2.0","id":50,"method":"ping"})");
    bridge->submit(R"([{"jsonrpc":"2.0","id":51,"method":"ping"}])");
    bridge->submit("not json");
    ASSERT_TRUE(output.waitFor(4));
    output.release();
    ASSERT_TRUE(bridge->drain(5000));
    ASSERT_EQ(output.lines.size(), 5u);
    EXPECT_NE(output.lines.back().find(R"("id":2,)"), std::string::npos);
}

}  // namespace
