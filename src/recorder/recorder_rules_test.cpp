#include "recorder/recorder_rules.h"

#include <gtest/gtest.h>

#include "config/path_rules.h"
#include "config/snapshot.h"

namespace {

using Mode = RecorderCommand::Mode;

TEST(RecorderArguments, AcceptedCommandLines) {
    struct Case {
        std::vector<std::string> arguments;
        Mode mode;
        std::string output, snapshot, source;
    };
    const Case cases[] = {
        {{"app.json"}, Mode::Record, "", "", "app.json"},
        {{"--output", "s.json", "app.json"}, Mode::Record, "s.json", "", "app.json"},
        {{"app.json", "--output", "s.json"}, Mode::Record, "s.json", "", "app.json"},
        {{"--check", "s.json", "mcp-bridge.json"}, Mode::Check, "", "s.json", "mcp-bridge.json"},
        {{"--help"}, Mode::Help, "", "", ""},
        {{"app.json", "-h", "--bogus"}, Mode::Help, "", "", ""},
        {{"-"}, Mode::Record, "", "", "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const RecorderCommand command = parseRecorderArguments(c.arguments);
        EXPECT_EQ(command.mode, c.mode);
        EXPECT_EQ(command.output, c.output);
        EXPECT_EQ(command.snapshot, c.snapshot);
        EXPECT_EQ(command.source, c.source);
    }
}

TEST(RecorderArguments, RefusedCommandLines) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no SOURCE given"},
        {{"a.json", "b.json"}, "more than one SOURCE given"},
        {{"--output"}, "--output needs a file name"},
        {{"--check", "", "a.json"}, "--check needs a file name"},
        {{"--output", "x", "--output", "y", "a.json"}, "--output is given twice"},
        {{"--check", "x", "--check", "y", "a.json"}, "--check is given twice"},
        {{"--check", "x", "--output", "y", "a.json"}, "--output and --check don't go together"},
        {{"--verbose", "a.json"}, "unknown option --verbose"},
        {{""}, "no SOURCE given"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        try {
            parseRecorderArguments(arguments);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& failure) {
            EXPECT_EQ(failure.what(), message);
        }
    }
}

TEST(RecorderSource, ConfigurationNamesTheDiscoveryFileOtherTextIsOne) {
#ifdef _WIN32
    const std::string appData = "C:\\Users\\u\\AppData\\Local";
    const std::string relative = appData + "\\App/d.json";
    const std::string absolute = "D:/apps/d.json";
#else
    const std::string appData = "/home/u/.local/share";
    const std::string relative = appData + "/App/d.json";
    const std::string absolute = "/apps/d.json";
#endif
    EXPECT_EQ(discoveryPathFor("b.json", R"({"discoveryFile":"App/d.json"})", appData), relative);
    EXPECT_EQ(discoveryPathFor("b.json", R"({"discoveryFile":")" + absolute + R"("})", appData),
              absolute);
    // A discovery file, or anything that is not a configuration, is read as a discovery file.
    for (const std::string& text :
         {std::string(R"({"url":"http://127.0.0.1:1/mcp","authToken":"t"})"),
          std::string("not json"), std::string("[]")}) {
        EXPECT_EQ(discoveryPathFor("d.json", text, appData), "d.json") << text;
    }
    EXPECT_THROW(discoveryPathFor("b.json", R"({"discoveryFile":""})", appData),
                 std::runtime_error);
    EXPECT_THROW(discoveryPathFor("b.json", R"({"discoveryFile":7})", appData), std::runtime_error);
}

TEST(RecorderToolList, RequestCarriesTheCursorEscaped) {
    EXPECT_EQ(toolListRequest(1, std::nullopt),
              R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    EXPECT_EQ(toolListRequest(3, std::string("a\"b\\")),
              R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"cursor":"a\"b\\"}})");
}

TEST(RecorderToolList, ReadsPagesAndRefusesWhatIsNoPage) {
    const ToolPage last = readToolPage(
        {R"({"jsonrpc":"2.0","method":"notifications/message","params":{}})",
         R"({"jsonrpc":"2.0","id":1,"result":{"tools":[{"name":"a"},{"name":"b","x":[1]}]}})"});
    EXPECT_EQ(last.tools, (std::vector<std::string>{R"({"name":"a"})", R"({"name":"b","x":[1]})"}));
    EXPECT_FALSE(last.nextCursor);

    const ToolPage more =
        readToolPage({R"({"jsonrpc":"2.0","id":1,"result":{"tools":[],"nextCursor":"c2"}})"});
    EXPECT_TRUE(more.tools.empty());
    EXPECT_EQ(more.nextCursor, "c2");
    // An empty cursor can name no page: the list ends there.
    EXPECT_FALSE(readToolPage({R"({"jsonrpc":"2.0","id":1,"result":{"tools":[],"nextCursor":""}})"})
                     .nextCursor);

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})"},
         "the app answered tools/list with an error: Method not found"},
        {{R"({"jsonrpc":"2.0","id":1,"result":{"tools":{}}})"},
         "the app's answer to tools/list holds no \"tools\" array"},
        {{}, "the app's answer to tools/list holds no \"tools\" array"},
        {{"garbage"}, "the app's answer to tools/list holds no \"tools\" array"},
    };
    for (const auto& [messages, what] : refused) {
        try {
            readToolPage(messages);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(messages);
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(failure.what(), what);
        }
    }
}

TEST(RecorderSnapshot, WrittenTextIsWhatTheBridgeLoads) {
    const std::string initialize = R"({"protocolVersion":"2025-06-18","serverInfo":{"name":"é"}})";
    const std::string tools = toolArrayText({R"({"name":"a"})", R"({"name":"b"})"});
    EXPECT_EQ(tools, R"([{"name":"a"},{"name":"b"}])");
    const std::string text = snapshotText(initialize, tools);
    EXPECT_EQ(text.substr(0, 19), "{\n  \"initialize\": {");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("\"é\""), std::string::npos) << "kept as UTF-8, not escaped";

    const Snapshot loaded = loadSnapshot("/b/mcp-bridge.json", "s.json",
                                         [&](const std::string&) { return std::optional(text); });
    EXPECT_EQ(loaded.initializeJson, initialize);
    EXPECT_EQ(loaded.toolsJson, tools);
}

TEST(RecorderDiff, ByToolName) {
    struct Case {
        std::string recorded, current;
        std::vector<std::string> added, removed, changed;
        bool reordered;
    };
    const Case cases[] = {
        {"[]", "[]", {}, {}, {}, false},
        {R"([{"name":"a","d":1}])", R"([{"d":1,"name":"a"}])", {}, {}, {}, false},
        {R"([{"name":"a"}])",
         R"([{"name":"a"},{"name":"c"},{"name":"b"}])",
         {"b", "c"},
         {},
         {},
         false},
        {R"([{"name":"a"},{"name":"b"}])", "[]", {}, {"a", "b"}, {}, false},
        {R"([{"name":"a","d":1},{"name":"b"}])",
         R"([{"name":"b"},{"name":"a","d":2}])",
         {},
         {},
         {"a"},
         false},
        {R"([{"name":"a"},{"name":"b"}])", R"([{"name":"b"},{"name":"a"}])", {}, {}, {}, true},
        {R"([{"name":"a"}])", R"([{"name":"a"},{"name":"a"}])", {}, {}, {}, true},
        {R"([{"name":"x"}])", R"([{"name":"y","d":{"k":1}}])", {"y"}, {"x"}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recorded + " -> " + c.current);
        const ToolDiff diff = diffTools(c.recorded, c.current);
        EXPECT_EQ(diff.added, c.added);
        EXPECT_EQ(diff.removed, c.removed);
        EXPECT_EQ(diff.changed, c.changed);
        EXPECT_EQ(diff.reordered, c.reordered);
        EXPECT_EQ(diff.empty(),
                  c.added.empty() && c.removed.empty() && c.changed.empty() && !c.reordered);
    }
    EXPECT_THROW(diffTools("{}", "[]"), std::runtime_error);
}

TEST(RecorderDiff, DescribedOneLineEach) {
    ToolDiff diff;
    diff.added = {"new"};
    diff.removed = {"old", "older"};
    diff.changed = {"edited"};
    EXPECT_EQ(describeDiff(diff), "+ new\n- old\n- older\n~ edited\n");
    EXPECT_EQ(describeDiff(ToolDiff{}), "");
}

}  // namespace
