// The app's reply streams relayed as they arrive: timing, what a break means once the response
// is out, and memory that stays flat however long a stream runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>

#include "app_fixture.h"
#include "fault_support.h"

using namespace testing_support;

namespace {

const std::string kProgress =
    R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":1}})";

std::string event(const std::string& text) {
    return "data: " + text + "\n\n";
}

std::string result(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{"content":[]}})";
}

bool underWine() {
    return bridgeLauncher().find("wine") != std::string::npos;
}

// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MB before it reuses them, so
// there a long stream of small messages fills the quarantine and shows as peak memory however flat
// the bridge's own use is. A small quarantine still catches a use soon after a free, and leaves
// the peak to the bridge's own memory and the sanitizer's fixed cost.
std::map<std::string, std::string> smallQuarantine() {
    if (!kAddressSanitizerBuild) return {};
    const char* inherited = std::getenv("ASAN_OPTIONS");
    std::string options =
        inherited != nullptr && *inherited != '\0' ? inherited + std::string(":") : "";
    options += "quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
    return {{"ASAN_OPTIONS", options}};
}

class LiveRelay : public AppFixture {};

TEST_F(LiveRelay, AnEventReachesTheHostBeforeTheAppHasFinished) {
    // The unit tests of the client show the body read as it arrives under Wine too, unless it is
    // chunked, as the fake app's streams are.
    if (underWine()) GTEST_SKIP() << "Wine's WinHTTP hands a chunk on only with the next one";
    ScriptedReply reply = ScriptedReply::streamed({event(kProgress), event(result("1"))});
    reply.chunkPause = 1000ms;
    app->on("tools/call", reply);
    startBridge();
    send(toolCall("1"));

    EXPECT_EQ(next(), kProgress);
    const auto first = std::chrono::steady_clock::now();
    EXPECT_EQ(next(), result("1"));
    EXPECT_GE(std::chrono::steady_clock::now() - first, 800ms);
    EXPECT_TRUE(finish().empty());
}

TEST_F(LiveRelay, ABreakAfterTheResponseWritesNothingMore) {
    if (underWine()) GTEST_SKIP() << "Wine's WinHTTP takes a cut-off chunked body for complete";
    const struct {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    } cases[] = {
        {"after the response", {event(kProgress), event(result("1"))}, {kProgress, result("1")}},
        {"before the response", {event(kProgress)}, {kProgress, offlineToolResult("1")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedReply reply = ScriptedReply::streamed(c.chunks);
        reply.dropConnection = true;
        app->on("tools/call", reply);
        startBridge();
        send(toolCall("1"));
        for (const std::string& line : c.lines)
            EXPECT_EQ(next(), line);
        EXPECT_TRUE(finish().empty());
    }
}

TEST_F(LiveRelay, AStreamOfSmallEventsKeepsMemoryFlat) {
    if (underWine()) GTEST_SKIP() << "peak memory is read from /proc";
    constexpr std::size_t kStreamBytes = std::size_t{200} << 20;
    const std::string log =
        event(R"({"jsonrpc":"2.0","method":"notifications/message","params":{"data":")" +
              std::string(900, 'x') + R"("}})");
    ScriptedReply reply = ScriptedReply::streamed({});
    auto sent = std::make_shared<std::size_t>(0);
    reply.moreChunks = [sent, log](std::string& chunk) {
        if (*sent >= kStreamBytes) {
            if (*sent == kStreamBytes + 1) return false;
            *sent = kStreamBytes + 1;
            chunk = event(result("1"));
            return true;
        }
        chunk.clear();
        for (int i = 0; i < 64; ++i)
            chunk += log;
        *sent += chunk.size();
        return true;
    };
    app->on("tools/call", reply);
    startBridge({}, smallQuarantine());
    send(toolCall("1"));

    std::size_t lines = 0;
    for (;;) {
        const std::string line = next(20s);
        if (line.empty() || line == result("1")) break;
        ++lines;
    }
    const std::optional<long> peakKb = procStatus(bridge->pid(), "VmHWM");
    ASSERT_TRUE(peakKb);
    std::cout << "[ FIGURES  ] " << lines << " events, " << (kStreamBytes >> 20)
              << " MB in one stream: bridge peak RSS " << *peakKb / 1024 << " MB\n";
    EXPECT_GT(lines, kStreamBytes / log.size() - 1);
    EXPECT_LT(*peakKb, 64 * 1024);
    EXPECT_TRUE(finish().empty());
}

}  // namespace
