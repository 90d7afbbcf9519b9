// The bridge when threads for messages can be had only some of the time: every request still gets
// exactly one reply, nothing stays counted in flight, and queued tool calls keep their worker.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "bridge/mcp_bridge.h"

namespace {

struct LaunchCase {
    const char* name;
    bool serializeToolCalls;
    int failEvery;  // every n-th launch fails; 1: all of them
};

class Recorder {
  public:
    LineWriter writer() {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
    // Replies per id text, batch members included.
    std::map<std::string, int> repliesById() {
        const std::lock_guard<std::mutex> lock(mutex);
        std::map<std::string, int> counts;
        for (const std::string& line : lines) {
            rapidjson::Document document;
            document.Parse(line.c_str(), line.size());
            EXPECT_FALSE(document.HasParseError()) << line;
            const auto count = [&](const rapidjson::Value& reply) {
                const auto id = reply.FindMember("id");
                if (id != reply.MemberEnd() && id->value.IsInt()) {
                    ++counts[std::to_string(id->value.GetInt())];
                }
            };
            if (document.IsArray()) {
                for (const auto& element : document.GetArray())
                    count(element);
            } else if (document.IsObject()) {
                count(document);
            }
        }
        return counts;
    }

  private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

// Starts threads that the test joins before the bridge goes, except every n-th, which fails.
class FlakyLauncher {
  public:
    explicit FlakyLauncher(int everyNth) : failEvery(everyNth) {}
    ThreadLauncher launcher() {
        return [this](std::function<void()> task) {
            const int attempt = ++attempts;
            if (attempt % failEvery == 0) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            const std::lock_guard<std::mutex> lock(mutex);
            threads.emplace_back(std::move(task));
        };
    }
    void joinAll() {
        std::vector<std::thread> started;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            started.swap(threads);
        }
        for (std::thread& thread : started)
            thread.join();
    }
    int launches() const { return attempts.load(); }

  private:
    const int failEvery;
    std::atomic<int> attempts = 0;
    std::mutex mutex;
    std::vector<std::thread> threads;
};

BridgeConfig offlineConfig(bool serialize) {
    BridgeConfig config;
    config.discoveryPath = "/nonexistent/mcp-bridge-test/discovery.json";
    config.offlineMessage = "offline";
    config.snapshot.initializeJson = R"({"capabilities":{}})";
    config.snapshot.toolsJson = "[]";
    config.serializeToolCalls = serialize;
    return config;
}

class ThreadLaunchFailure : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(ThreadLaunchFailure, EveryRequestIsAnsweredOnceAndNothingStaysInFlight) {
    const LaunchCase& c = GetParam();
    Recorder output;
    FlakyLauncher flaky(c.failEvery);
    std::vector<std::string> ids;
    int launchesExpected = 0;
    {
        McpBridge bridge(offlineConfig(c.serializeToolCalls), output.writer(), flaky.launcher());
        for (int id = 1; id <= 300; ++id) {
            const std::string idText = std::to_string(id);
            switch (id % 6) {
                case 0:
                    bridge.submit(R"({"jsonrpc":"2.0","id":)" + idText +
                                  R"(,"method":"tools/call","params":{"name":"t"}})");
                    launchesExpected += c.serializeToolCalls ? 0 : 1;
                    ids.push_back(idText);
                    break;
                case 1:
                    bridge.submit(R"([{"jsonrpc":"2.0","id":)" + idText +
                                  R"(,"method":"ping"},{"jsonrpc":"2.0","method":"n"}])");
                    ++launchesExpected;
                    ids.push_back(idText);
                    break;
                case 2:
                    bridge.submit(R"({"jsonrpc":"2.0","method":"notifications/progress"})");
                    ++launchesExpected;
                    break;
                case 3:
                    bridge.submit(R"({"jsonrpc":"2.0","id":)" + idText +
                                  R"(,"method":"initialize","params":{}})");
                    ++launchesExpected;
                    ids.push_back(idText);
                    break;
                default:
                    bridge.submit(R"({"jsonrpc":"2.0","id":)" + idText +
                                  R"(,"method":"tools/list"})");
                    ++launchesExpected;
                    ids.push_back(idText);
            }
        }
        EXPECT_TRUE(bridge.drain(10000));
        flaky.joinAll();
        EXPECT_TRUE(bridge.drain(0));
    }
    EXPECT_EQ(flaky.launches(), launchesExpected);
    const std::map<std::string, int> replies = output.repliesById();
    for (const std::string& id : ids)
        EXPECT_EQ(replies.count(id) ? replies.at(id) : 0, 1) << id;
    EXPECT_EQ(replies.size(), ids.size());
}

INSTANTIATE_TEST_SUITE_P(McpBridge, ThreadLaunchFailure,
                         ::testing::Values(LaunchCase{"NoThreadEverUnserialized", false, 1},
                                           LaunchCase{"NoThreadEverSerialized", true, 1},
                                           LaunchCase{"EverySecondFailsUnserialized", false, 2},
                                           LaunchCase{"EveryThirdFailsSerialized", true, 3}),
                         [](const ::testing::TestParamInfo<LaunchCase>& param) {
                             return param.param.name;
                         });

}  // namespace
