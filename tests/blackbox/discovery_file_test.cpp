// The discovery file as the bridge reads it before opening a session: only a strict loopback URL
// with a token counts; anything else means "no app", answered offline without a word about the
// file and without starting the back-off of a failed opening.
#include <gtest/gtest.h>

#include <ostream>

#include "app_fixture.h"

using namespace testing_support;

namespace {

// Replaces every "PORT" in `text` with the port.
std::string withPort(std::string text, int port) {
    for (std::size_t at; (at = text.find("PORT")) != std::string::npos;) {
        text.replace(at, 4, std::to_string(port));
    }
    return text;
}

struct UnusableCase {
    const char* name;
    std::optional<std::string> content;  // the file's text, "PORT" standing for the app's port;
                                         // none: no file at all
};
void PrintTo(const UnusableCase& c, std::ostream* os) {
    *os << c.name;
}

class UnusableDiscoveryFile : public AppFixture,
                              public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableDiscoveryFile, AnswersOfflineThenUsesTheAppOnceTheFileIsValid) {
    if (GetParam().content) {
        app->publishText(withPort(*GetParam().content, app->port()));
    } else {
        app->unpublish();
    }
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), offlineToolResult("1"));
    EXPECT_TRUE(app->requests().empty());

    // No back-off was started: the next message, with a valid file, reaches the app at once.
    app->publish();
    send(toolCall("2"));
    EXPECT_EQ(next(), appToolResult("2"));
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1", "2"});
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>{"The app is not available"});
    ASSERT_FALSE(app->requests().empty());
    EXPECT_EQ(app->requests()[0].rpcMethod, "initialize");
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, UnusableDiscoveryFile,
    ::testing::Values(
        UnusableCase{"Missing", std::nullopt}, UnusableCase{"Empty", ""},
        UnusableCase{"HalfWritten", R"({"url":"http://127.0.0.1:PORT/mcp","authTo)"},
        UnusableCase{"Garbage", "\x01\x02 not json"},
        UnusableCase{"ArrayRoot", R"([{"url":"http://127.0.0.1:PORT/mcp","authToken":"token-1"}])"},
        UnusableCase{"NoUrl", R"({"authToken":"token-1"})"},
        UnusableCase{"UrlNotAString", R"({"url":PORT,"authToken":"token-1"})"},
        UnusableCase{"NoToken", R"({"url":"http://127.0.0.1:PORT/mcp"})"},
        UnusableCase{"TokenNotAString", R"({"url":"http://127.0.0.1:PORT/mcp","authToken":5})"},
        UnusableCase{"Https", R"({"url":"https://127.0.0.1:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"UpperCaseScheme",
                     R"({"url":"HTTP://127.0.0.1:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"UpperCaseLocalhost",
                     R"({"url":"http://Localhost:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"OtherLoopbackAddress",
                     R"({"url":"http://127.0.0.2:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"BracketedIpv6", R"({"url":"http://[::1]:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"UserInfo",
                     R"({"url":"http://user@127.0.0.1:PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"NoPath", R"({"url":"http://127.0.0.1:PORT","authToken":"token-1"})"},
        UnusableCase{"ColonOnlyInPath",
                     R"({"url":"http://127.0.0.1/mcp:PORT","authToken":"token-1"})"},
        UnusableCase{"NoPort", R"({"url":"http://127.0.0.1:/mcp","authToken":"token-1"})"},
        UnusableCase{"PortZero", R"({"url":"http://127.0.0.1:0/mcp","authToken":"token-1"})"},
        UnusableCase{"PortAboveRange",
                     R"({"url":"http://127.0.0.1:65536/mcp","authToken":"token-1"})"},
        UnusableCase{"SixDigitPort",
                     R"({"url":"http://127.0.0.1:0PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"SignedPort", R"({"url":"http://127.0.0.1:+PORT/mcp","authToken":"token-1"})"},
        UnusableCase{"BlankInPort", R"({"url":"http://127.0.0.1: 1/mcp","authToken":"token-1"})"},
        UnusableCase{"TrailingGarbage",
                     R"({"url":"http://127.0.0.1:PORT/mcp","authToken":"token-1"} x)"}),
    CaseName());

struct AcceptedCase {
    const char* name;
    std::string content;  // "PORT" standing for the app's port
    std::string token;    // the token the app expects
    std::string target;   // where the requests go
};
void PrintTo(const AcceptedCase& c, std::ostream* os) {
    *os << c.name;
}

class AcceptedDiscoveryFile : public AppFixture,
                              public ::testing::WithParamInterface<AcceptedCase> {};

TEST_P(AcceptedDiscoveryFile, RequestsGoToTheNamedEndpoint) {
    app->setToken(GetParam().token);
    app->publishText(withPort(GetParam().content, app->port()));
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    EXPECT_TRUE(finish().empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_EQ(seen.size(), 5u);  // initialize, initialized, tools/list, the call, DELETE
    for (const RecordedRequest& request : seen) {
        EXPECT_EQ(request.target, GetParam().target);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, AcceptedDiscoveryFile,
    ::testing::Values(
        AcceptedCase{"Localhost", R"({"url":"http://localhost:PORT/mcp","authToken":"t"})", "t",
                     "/mcp"},
        AcceptedCase{"RootPath", R"({"url":"http://127.0.0.1:PORT/","authToken":"t"})", "t", "/"},
        AcceptedCase{"PathWithColonAndQuery",
                     R"({"url":"http://127.0.0.1:PORT/a:b/mcp?x=1:2","authToken":"t"})", "t",
                     "/a:b/mcp?x=1:2"},
        AcceptedCase{"EmptyToken", R"({"url":"http://127.0.0.1:PORT/mcp","authToken":""})", "",
                     "/mcp"},
        AcceptedCase{"PidAsString",
                     R"({"url":"http://127.0.0.1:PORT/mcp","authToken":"t","pid":"12"})", "t",
                     "/mcp"},
        AcceptedCase{"PidWithExponent",
                     R"({"url":"http://127.0.0.1:PORT/mcp","authToken":"t","pid":1e3})", "t",
                     "/mcp"},
        AcceptedCase{"NegativePid",
                     R"({"url":"http://127.0.0.1:PORT/mcp","authToken":"t","pid":-5})", "t",
                     "/mcp"},
        AcceptedCase{"OtherMembersIgnored",
                     R"({"name":"app","url":"http://127.0.0.1:PORT/mcp","authToken":"t","v":[1]})",
                     "t", "/mcp"},
        AcceptedCase{"FirstOfDuplicateKeysCounts",
                     R"({"url":"http://127.0.0.1:PORT/mcp","authToken":"t","url":"https://x/"})",
                     "t", "/mcp"},
        AcceptedCase{"SurroundingWhitespace",
                     "\r\n\t {\"url\":\"http://127.0.0.1:PORT/mcp\",\"authToken\":\"t\"} \n", "t",
                     "/mcp"}),
    CaseName());

class DiscoveryFile : public AppFixture {};

TEST_F(DiscoveryFile, RemovedDuringSessionMeansNoApp) {
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(next(), appToolResult("1"));
    const std::size_t before = app->requests().size();

    app->unpublish();
    send(toolCall("2"));
    EXPECT_EQ(next(), offlineToolResult("2"));
    EXPECT_EQ(app->requests().size(), before);

    // Back again: a new session is opened at once.
    app->publish();
    send(toolCall("3"));
    EXPECT_EQ(next(), appToolResult("3"));
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1", "2", "3"});
    EXPECT_EQ(bridge->stderrLines(), std::vector<std::string>{"The app is not available"});
    const std::vector<RecordedRequest> seen = app->requests();
    ASSERT_GT(seen.size(), before);
    EXPECT_EQ(seen[before].rpcMethod, "initialize");
    EXPECT_EQ(app->requests("initialize").size(), 2u);
}

}  // namespace
