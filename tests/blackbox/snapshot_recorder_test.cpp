// Black-box tests of mcp-bridge-snapshot: the real recorder binary against the fake app on
// 127.0.0.1, and the bridge answering from what it recorded.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#include "app_fixture.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// The recorder under test: the Windows build's when the tests drive that build.
fs::path recorderExecutable() {
    const char* chosen = std::getenv("MCP_BRIDGE_TEST_SNAPSHOT_EXE");
    return chosen != nullptr && *chosen != '\0' ? fs::path(chosen)
                                                : fs::path(MCP_BRIDGE_SNAPSHOT_BINARY);
}

struct RecorderRun {
    std::string out;
    std::vector<std::string> err;
    std::optional<int> exitCode;
};

rapidjson::Document parsed(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

std::vector<std::string> toolNames(const rapidjson::Value& tools) {
    std::vector<std::string> names;
    if (!tools.IsArray()) return names;
    for (const rapidjson::Value& tool : tools.GetArray())
        names.emplace_back(tool["name"].GetString());
    return names;
}

// The cursor a tools/list request carries; empty for none.
std::string cursorOf(const RecordedRequest& request) {
    const rapidjson::Document body = parsed(request.body);
    if (!body.HasMember("params")) return {};
    return body["params"]["cursor"].GetString();
}

const std::vector<std::string> kThreePages = {
    R"([{"name":"alpha","inputSchema":{"type":"object"}}])",
    R"([{"name":"beta"},{"name":"gamma","description":"Grüße"}])",
    R"([{"name":"delta"}])",
};

class SnapshotRecorder : public AppFixture {
  protected:
    RecorderRun record(const std::vector<std::string>& arguments,
                       std::chrono::milliseconds timeout = 60s) {
        std::vector<std::string> command = bridgeCommand(recorderExecutable());
        command.insert(command.end(), arguments.begin(), arguments.end());
        ChildProcess child(command, dir.path());
        child.closeInput();
        RecorderRun run;
        run.exitCode = child.wait(timeout);
        child.waitForOutputEnd();
        run.out = child.rawOutput();
        run.err = child.stderrLines();
        return run;
    }

    std::string visible(const fs::path& path) const { return bridgeVisiblePath(path); }
};

TEST_F(SnapshotRecorder, RecordsEveryPageInOneSessionAndTheBridgeAnswersFromIt) {
    app->setToolPages(kThreePages);
    const fs::path output = dir / "recorded.json";
    const RecorderRun recorded = record({"--output", visible(output), visible(discoveryPath)});
    ASSERT_EQ(recorded.exitCode, 0) << ::testing::PrintToString(recorded.err);
    EXPECT_TRUE(recorded.err.empty()) << ::testing::PrintToString(recorded.err);
    EXPECT_EQ(recorded.out, "");

    std::ifstream file(output, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("\n  \"tools\": ["), std::string::npos) << "indented for people: " << text;
    const rapidjson::Document snapshot = parsed(text);
    EXPECT_EQ(snapshot["initialize"]["serverInfo"]["name"], "fake-app");
    EXPECT_EQ(toolNames(snapshot["tools"]),
              (std::vector<std::string>{"alpha", "beta", "gamma", "delta"}));
    EXPECT_EQ(snapshot["tools"][2]["description"], "Grüße");

    // One session, opened as the bridge opens one, every page in it, and ended.
    const std::vector<RecordedRequest> requests = app->requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].rpcMethod, "initialize");
    EXPECT_EQ(parsed(requests[0].body)["params"]["clientInfo"]["name"], "mcp-bridge-snapshot");
    EXPECT_EQ(requests[1].rpcMethod, "notifications/initialized");
    const std::vector<std::string> cursors = {"", "page-2", "page-3"};
    for (std::size_t page = 0; page < 3; ++page) {
        const RecordedRequest& request = requests[2 + page];
        EXPECT_EQ(request.rpcMethod, "tools/list");
        EXPECT_EQ(cursorOf(request), cursors[page]);
        EXPECT_EQ(request.header("Mcp-Session-Id"), "session-1");
        EXPECT_EQ(request.header("Authorization"), "Bearer token-1");
    }
    EXPECT_EQ(requests[5].httpMethod, "DELETE");
    EXPECT_EQ(requests[5].header("Mcp-Session-Id"), "session-1");

    // The bridge loads what was recorded and, with the app away, offers exactly those tools.
    fs::copy_file(output, dir / "snapshot.json", fs::copy_options::overwrite_existing);
    app->stop();
    const BridgeRun offline = run(request("1", "tools/list") + "\n");
    ASSERT_EQ(offline.exitCode, 0);
    ASSERT_EQ(offline.out.size(), 1u);
    const rapidjson::Document reply = parsed(offline.out[0]);
    EXPECT_EQ(reply["result"]["tools"], snapshot["tools"]);
}

TEST_F(SnapshotRecorder, TakesTheBridgeConfigurationAsSourceAndWritesToStandardOutput) {
    app->setTools(R"([{"name":"only","inputSchema":{"type":"object"}}])");
    const RecorderRun run = record({visible(configPath)});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run.err);
    const rapidjson::Document snapshot = parsed(run.out);
    EXPECT_EQ(toolNames(snapshot["tools"]), std::vector<std::string>{"only"});
    EXPECT_TRUE(snapshot["initialize"].IsObject());
}

TEST_F(SnapshotRecorder, CheckTellsASnapshotThatHoldsFromAStaleOne) {
    const std::string recorded =
        R"({"initialize":{},"tools":[{"name":"alpha","inputSchema":{"type":"object"}},)"
        R"({"name":"beta"},{"name":"gamma","description":"Grüße"},{"name":"delta"}]})";
    writeFile(dir / "shipped.json", recorded);
    struct Case {
        std::string name;
        std::vector<std::string> pages;
        int exitCode;
        std::string out;
    };
    const Case cases[] = {
        {"same tools over three pages", kThreePages, 0, ""},
        {"one added, one removed, one changed",
         {R"([{"name":"alpha","inputSchema":{"type":"object"}}])",
          R"([{"name":"gamma","description":"Hello"},{"name":"delta"}])",
          R"([{"name":"epsilon"}])"},
         1,
         visible(dir / "shipped.json") +
             ": the app's tools differ\n+ epsilon\n- beta\n~ gamma\n(+ added, - removed, ~ "
             "changed)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app->setToolPages(c.pages);
        const RecorderRun run =
            record({"--check", visible(dir / "shipped.json"), visible(discoveryPath)});
        EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run.err);
        EXPECT_EQ(run.out, c.out);
        EXPECT_TRUE(run.err.empty()) << ::testing::PrintToString(run.err);
    }
}

TEST_F(SnapshotRecorder, WhatCannotBeRecordedOrCheckedEndsWithOneLineAndExitCodeTwo) {
    struct Case {
        std::string name;
        std::function<void(FakeApp&)> prepare;
        std::vector<std::string> arguments;  // "SOURCE" stands for the discovery file
        std::string line;                    // a part of the one line on standard error
        bool opensSession = false;
    };
    const std::string source = visible(discoveryPath);
    const Case cases[] = {
        {"app not running",
         [](FakeApp& a) { a.stop(); },
         {"SOURCE"},
         "The app is not running: nothing answers at http://127.0.0.1:"},
        {"no discovery file",
         [](FakeApp& a) { a.unpublish(); },
         {"SOURCE"},
         "is missing or not a valid discovery file"},
        {"discovery file of another kind",
         [](FakeApp& a) { a.publishText(R"({"url":7})"); },
         {"SOURCE"},
         "is missing or not a valid discovery file"},
        {"session refused",
         [](FakeApp& a) { a.on("initialize", ScriptedReply::empty(401)); },
         {"SOURCE"},
         "refused the session (HTTP 401)"},
        {"tool list refused",
         [](FakeApp& a) {
             a.on("tools/list",
                  ScriptedReply::json(
                      R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"No tools"}})"));
         },
         {"SOURCE"},
         "Cannot list the tools: the app answered tools/list with an error: No tools",
         true},
        {"snapshot to check missing",
         [](FakeApp&) {},
         {"--check", visible(dir / "absent.json"), "SOURCE"},
         "Cannot read "},
        {"bad command line",
         [](FakeApp&) {},
         {"--bogus", "SOURCE"},
         "mcp-bridge-snapshot: unknown option --bogus (see --help)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app.reset();  // its end takes its discovery file away
        app = std::make_unique<FakeApp>(discoveryPath);
        c.prepare(*app);
        std::vector<std::string> arguments = c.arguments;
        for (std::string& argument : arguments)
            if (argument == "SOURCE") argument = source;
        const RecorderRun run = record(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        ASSERT_EQ(run.err.size(), 1u) << ::testing::PrintToString(run.err);
        EXPECT_NE(run.err[0].find(c.line), std::string::npos) << run.err[0];
        // A session that was opened is ended all the same.
        if (c.opensSession) {
            EXPECT_EQ(app->requests().back().httpMethod, "DELETE");
        }
    }
}

TEST_F(SnapshotRecorder, HelpTellsTheCommandLineAndTheExitCodes) {
    const RecorderRun run = record({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* part : {"mcp-bridge-snapshot [--output FILE] SOURCE",
                             "mcp-bridge-snapshot --check SNAPSHOT SOURCE", "discoveryFile",
                             "nextCursor", "Exit codes", "  2  "}) {
        EXPECT_NE(run.out.find(part), std::string::npos) << part;
    }
}

}  // namespace
}  // namespace testing_support
