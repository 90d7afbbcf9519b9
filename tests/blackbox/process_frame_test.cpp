// The process frame seen from outside: input framing, the depth guard, output lines, start-up
// failures and the end of the run, with no app present.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <set>

#include "bridge_fixture.h"

using namespace testing_support;

namespace {

class ProcessFrame : public BridgeFixture {};

std::string ping(int id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}
std::string pong(int id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{}})";
}

bool isJson(const std::string& line) {
    rapidjson::Document document;
    document.Parse(line.c_str(), line.size());
    return !document.HasParseError();
}

TEST_F(ProcessFrame, FramesInputLines) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string input;
        std::vector<std::string> out;
    } cases[] = {
        {bom + ping(1) + "\n", {pong(1)}},
        {bom + "\n" + ping(1), {pong(1)}},
        {ping(1) + "\r\n\r\n\n\r\n" + ping(2) + "\r\n", {pong(1), pong(2)}},
        // A second carriage return stays and is blank to the parser.
        {ping(3) + "\r\r\n", {pong(3)}},
        // A byte order mark on a later line is kept, so that line is not JSON.
        {ping(1) + "\n" + bom + ping(2) + "\n",
         {pong(1),
          R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: the message is not valid JSON"}})"}},
        {"  \n",
         {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: the message is not valid JSON"}})"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        BridgeRun result = run(c.input);
        EXPECT_EQ(result.exitCode, 0);
        std::sort(result.out.begin(), result.out.end());
        std::vector<std::string> expected = c.out;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(result.out, expected) << c.input;
    }
}

TEST_F(ProcessFrame, RejectsTooDeepLinesAndKeepsGoing) {
    const std::string deep = R"({"jsonrpc":"2.0","id":9,"method":"ping","params":[)" +
                             std::string(256, '[') + std::string(257, ']') + "}";
    const std::string limit = R"({"jsonrpc":"2.0","id":8,"method":"ping","params":)" +
                              std::string(255, '[') + std::string(255, ']') + "}";
    const BridgeRun result = run(deep + "\n" + limit + "\n");
    ASSERT_EQ(result.out.size(), 2u);
    EXPECT_EQ(
        result.out[0],
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})");
    EXPECT_EQ(result.out[1], pong(8));
}

TEST_F(ProcessFrame, WritesEveryLineWholeUnderAFlood) {
    std::string input;
    const int count = 100000;
    for (int id = 0; id < count; ++id)
        input += ping(id) + "\n";
    ChildProcess& child = start();
    child.write(input);
    child.closeInput();
    ASSERT_EQ(child.wait(60s), 0);
    ASSERT_TRUE(child.waitForOutputEnd());
    const std::string raw = child.rawOutput();
    EXPECT_EQ(raw.find('\r'), std::string::npos);
    const std::vector<std::string> lines = child.pendingLines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(count));
    std::set<std::string> unique(lines.begin(), lines.end());
    EXPECT_EQ(unique.size(), lines.size());
    for (int id = 0; id < count; id += 997)
        EXPECT_EQ(unique.count(pong(id)), 1u) << id;
}

TEST_F(ProcessFrame, SurvivesHostileBytes) {
    const std::string huge = R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{"blob":")" +
                             std::string(50 * 1024 * 1024, 'x') + "\"}}";
    const struct {
        std::string line;
        std::string reply;
    } cases[] = {
        // The parser stops at a NUL byte: what stands before it is the message.
        {std::string(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") + '\0' + "junk", pong(1)},
        {std::string("{\"jsonrpc\":\"2.0\",\0\"id\":1}", 26),
         R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: the message is not valid JSON"}})"},
        {"{\"jsonrpc\":\"2.0\",\"id\":\"\xC3\x28\xFF\",\"method\":\"ping\"}",
         "{\"jsonrpc\":\"2.0\",\"id\":\"\xC3\x28\xFF\",\"result\":{}}"},
        {huge, pong(2)},
    };
    for (const auto& c : cases) {
        // The reply is read before the input ends, so a slow build needn't beat the drain limit.
        ChildProcess& child = start();
        child.write(c.line + "\n");
        EXPECT_EQ(child.readLine(120s), c.reply) << c.line.substr(0, 60);
        child.closeInput();
        EXPECT_EQ(child.wait(), 0);
        EXPECT_EQ(child.pendingLines(), std::vector<std::string>{});
    }
}

TEST_F(ProcessFrame, OutputStaysValidJson) {
    std::string input;
    for (const char* line : {R"([])", R"([1,{"jsonrpc":"2.0","method":"n"}])", R"("ping")",
                             R"({"jsonrpc":"2.0","id":1e2,"method":"x"})",
                             R"({"jsonrpc":"2.0","id":"\u0000\"","method":"tools/call"})"}) {
        input += std::string(line) + "\n";
    }
    const BridgeRun result = run(input);
    ASSERT_EQ(result.out.size(), 5u);
    for (const std::string& line : result.out)
        EXPECT_TRUE(isJson(line)) << line;
}

TEST_F(ProcessFrame, KeepsRunningWhenTheHostStopsReading) {
    ChildProcess& child = start();
    child.closeOutput();
    for (int id = 0; id < 2000; ++id)
        ASSERT_TRUE(child.writeLine(ping(id)));
    child.closeInput();
    EXPECT_EQ(child.wait(20s), 0);
}

TEST_F(ProcessFrame, EndsPromptlyAtTheEndOfInput) {
    ChildProcess& child = start();
    child.writeLine(ping(1));
    ASSERT_EQ(child.readLine(), pong(1));
    const auto closed = std::chrono::steady_clock::now();
    child.closeInput();
    EXPECT_EQ(child.wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s);
}

TEST_F(ProcessFrame, ReportsOfflineFailuresOnStandardError) {
    const BridgeRun result =
        run(ping(1) + "\n" + R"({"jsonrpc":"2.0","method":"notifications/x"})" + "\n");
    EXPECT_EQ(result.err,
              (std::vector<std::string>{"The app is not available", "The app is not available"}));
}

class StartupFailure : public BridgeFixture {};

TEST_F(StartupFailure, EndsWithOneLineAndExitCodeOne) {
    // Paths as the bridge spells them in its messages: with backslashes in the Windows build.
    const auto spelled = [](std::string path) {
        if (bridgeIsWindowsBuild()) std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    const std::string config = spelled(bridgeVisiblePath(configPath));
    const std::string snapshot = spelled(bridgeVisiblePath(dir / "snapshot.json"));
    const struct {
        std::optional<std::string> configText;
        std::optional<std::string> snapshotText;
        std::string message;
    } cases[] = {
        {std::nullopt, kSnapshotJson, "Cannot read " + config},
        {"\xEF\xBB\xBF" + configJson(), kSnapshotJson, config + " is not a JSON object"},
        {R"({"discoveryFile":"d","snapshotFile":"snapshot.json"})", kSnapshotJson,
         config + ": \"offlineMessage\" must be a non-empty string"},
        {configJson(R"("serializeToolCalls":"false")"), kSnapshotJson,
         config + ": \"serializeToolCalls\" must be true or false"},
        {configJson(), std::nullopt, "Cannot read " + snapshot},
        {configJson(), R"({"initialize":{},"tools":{}})",
         snapshot + ": needs an \"initialize\" object and a \"tools\" array"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(configPath);
        std::filesystem::remove(dir / "snapshot.json");
        if (c.configText) writeConfig(*c.configText);
        if (c.snapshotText) writeFile(dir / "snapshot.json", *c.snapshotText);
        // Input stays open: the bridge must end without reading it.
        ChildProcess& child = start();
        EXPECT_EQ(child.wait(10s), 1) << c.message;
        ASSERT_TRUE(child.waitForOutputEnd());
        EXPECT_EQ(child.stderrLines(), std::vector<std::string>{c.message});
        EXPECT_EQ(child.rawOutput(), "");
    }
}

TEST_F(StartupFailure, ReadsTheConfigurationNamedAfterTheExecutable) {
    const std::filesystem::path dotted = installBridge(dir.path(), "my.bridge.v2");
    writeFile(dir / "my.bridge.json", configJson());
    const BridgeRun result = runBridge(dotted, ping(1) + "\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, std::vector<std::string>{pong(1)});
}

}  // namespace
