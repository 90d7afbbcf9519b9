#include "config/discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "jsonrpc/replies.h"

namespace {

std::string discoveryText(const std::string& url, const std::string& rest = R"("authToken":"t")") {
    return R"({"url":")" + url + R"(",)" + rest + "}";
}

TEST(ParseDiscovery, AcceptsOnlyLoopbackHttpUrls) {
    const struct {
        const char* url;
        const char* host;
        int port;
        const char* path;
    } accepted[] = {
        {"http://localhost:3000/mcp", "localhost", 3000, "/mcp"},
        {"http://127.0.0.1:3000/", "127.0.0.1", 3000, "/"},
        {"http://127.0.0.1:00080/a:b/c?x=1", "127.0.0.1", 80, "/a:b/c?x=1"},
        {"http://127.0.0.1:65535/x", "127.0.0.1", 65535, "/x"},
        {"http://127.0.0.1:1/", "127.0.0.1", 1, "/"},
    };
    for (const auto& c : accepted) {
        const auto info = parseDiscovery(discoveryText(c.url));
        ASSERT_TRUE(info) << c.url;
        EXPECT_EQ(info->host, c.host);
        EXPECT_EQ(info->port, c.port);
        EXPECT_EQ(info->path, c.path);
    }
    const char* rejected[] = {
        "http://localhost:3000",
        "https://localhost:3000/mcp",
        "HTTP://localhost:3000/mcp",
        "http://LOCALHOST:3000/mcp",
        "http://192.168.1.2:3000/",
        "http://example.com:80/",
        "http://[::1]:3000/",
        "http://localhost:0/",
        "http://localhost:65536/",
        "http://localhost:123456/",
        "http://localhost:+80/",
        "http://localhost: 80/",
        "http://localhost:/",
        "http://localhost/:80",
        "http://user@localhost:80/",
        "http://localhost",
        "http://localhost:3000/mcp\\r\\nX-Injected: yes",
        "http://localhost:3000/m cp",
        "http://localhost:3000/mcp\\t",
        "http://localhost:3000/m\u00e9",
        "http:/",
        "",
    };
    for (const char* url : rejected)
        EXPECT_FALSE(parseDiscovery(discoveryText(url))) << url;
}

TEST(ParseDiscovery, ReadsTokenAndProcessId) {
    const struct {
        std::string rest;
        bool accepted;
        std::string token;
        std::int64_t pid;
    } cases[] = {
        {R"("authToken":"","pid":42)", true, "", 42},
        {R"("authToken":"abc","pid":-7)", true, "abc", -7},
        {R"("authToken":"abc","pid":"42")", true, "abc", 0},
        {R"("authToken":"abc","pid":1234.0)", true, "abc", 0},
        {R"("authToken":"abc","pid":1e3)", true, "abc", 0},
        {R"("authToken":"abc","pid":9223372036854775808)", true, "abc", 0},
        {R"("authToken":"abc","pid":9223372036854775807)", true, "abc", 9223372036854775807},
        {R"("authToken":"a","authToken":"b")", true, "a", 0},
        {R"("pid":1)", false, "", 0},
        {R"("authToken":5)", false, "", 0},
    };
    for (const auto& c : cases) {
        const auto info = parseDiscovery(discoveryText("http://localhost:1/", c.rest));
        ASSERT_EQ(info.has_value(), c.accepted) << c.rest;
        if (!info) continue;
        EXPECT_EQ(info->authToken, c.token);
        EXPECT_EQ(info->pid, c.pid);
    }
}

TEST(ParseDiscovery, AnythingMalformedMeansNoApp) {
    const char* texts[] = {
        "",
        R"({"url":"http://localhost:1/","authTo)",
        "[]",
        R"({"url":5,"authToken":"t"})",
        R"({"authToken":"t"})",
        "\xEF\xBB\xBF{\"url\":\"http://localhost:1/\",\"authToken\":\"t\"}",
    };
    for (const char* text : texts)
        EXPECT_FALSE(parseDiscovery(text)) << text;
}

TEST(ParseDiscovery, ATokenThatCannotStandInAHeaderMeansNoApp) {
    const struct {
        std::string token;
        bool accepted;
    } cases[] = {
        {"", true},
        {"tok-EN_1.~!", true},
        {"two words", true},
        {"tok\r\nX-Injected: yes", false},
        {"tok\n", false},
        {"tok\tab", false},
        {std::string("t\0k", 3), false},
        {"tok\x7F", false},
        {"tok\xC3\xA9", false},
        {" tok", false},
        {"tok ", false},
    };
    for (const auto& c : cases) {
        const std::string text = R"({"url":"http://127.0.0.1:3000/mcp","authToken":)" +
                                 jsonrpc::quoteJsonString(c.token) + "}";
        EXPECT_EQ(parseDiscovery(text).has_value(), c.accepted) << text;
    }
}

TEST(ReadDiscoveryFile, ReadsAFileThatDoesNotParseOnceMore) {
    const std::string valid = R"({"url":"http://127.0.0.1:3000/mcp","authToken":"t"})";
    const struct {
        std::vector<std::optional<std::string>> readings;
        bool found;
        std::size_t reads;
    } cases[] = {
        {{valid}, true, 1},
        {{R"({"url":"http://127.0.0.1:30)", valid}, true, 2},  // caught half-written
        {{"", valid}, true, 2},
        {{"", ""}, false, 2},
        {{std::nullopt}, false, 1},                               // no file: no second look
        {{R"({"url":"https://x/","authToken":"t"})"}, false, 1},  // parses, but names no app
    };
    for (const auto& c : cases) {
        std::size_t reads = 0;
        const FileReader reader = [&](const std::string&) {
            return c.readings[std::min(reads++, c.readings.size() - 1)];
        };
        EXPECT_EQ(readDiscoveryFile("d.json", reader, std::chrono::milliseconds(1)).has_value(),
                  c.found);
        EXPECT_EQ(reads, c.reads);
    }
}

TEST(DiscoveryInfo, DiffersInAnyField) {
    const DiscoveryInfo base{"127.0.0.1", 3000, "/mcp", "t", 1};
    EXPECT_EQ(base, (DiscoveryInfo{"127.0.0.1", 3000, "/mcp", "t", 1}));
    EXPECT_NE(base, (DiscoveryInfo{"127.0.0.1", 3000, "/mcp", "t", 2}));
    EXPECT_NE(base, (DiscoveryInfo{"localhost", 3000, "/mcp", "t", 1}));
    EXPECT_NE(base, (DiscoveryInfo{"127.0.0.1", 3001, "/mcp", "t", 1}));
    EXPECT_NE(base, (DiscoveryInfo{"127.0.0.1", 3000, "/mcp/", "t", 1}));
    EXPECT_NE(base, (DiscoveryInfo{"127.0.0.1", 3000, "/mcp", "u", 1}));
}

}  // namespace
