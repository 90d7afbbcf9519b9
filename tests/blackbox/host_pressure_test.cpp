// Pressure from the host's side with the app up: a flood of requests, one enormous line, and a
// host that closes the bridge's output. Every request gets exactly one reply, memory stays
// bounded, and the bridge neither crashes nor hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <set>

#include "app_fixture.h"
#include "fault_support.h"

using namespace testing_support;

namespace {

// The peak resident memory allowed to a flood of 10,000 requests: far above the tens of
// megabytes a plain build needs, far below what a leak of one thread stack or one copy of the
// input per message would reach. Sanitizer run-times reserve a great deal more on their own.
constexpr long kFloodPeakKb = kSanitizerBuild ? 2'000'000 : 400'000;

class HostPressure : public AppFixture {
  protected:
    void SetUp() override {
        // Under Wine these scenarios would measure Wine's process, pipe and WinHTTP behaviour
        // and timing rather than the bridge's.
        if (bridgeIsWindowsBuild()) GTEST_SKIP() << "host pressure runs against the Linux build";
        AppFixture::SetUp();
    }
};

TEST_F(HostPressure, FloodOfTenThousandRequestsIsAnsweredOnceEachInBoundedMemory) {
    startBridge();
    ProcessSampler sampler(bridge->pid());
    std::vector<std::string> ids;
    std::string flood;
    for (int id = 1; id <= 10000; ++id) {
        ids.push_back(std::to_string(id));
        if (id % 10 == 0) {
            flood += toolCall(ids.back()) + "\n";
        } else if (id % 10 == 1) {
            flood += request(ids.back(), "tools/list") + "\n";
        } else {
            flood += request(ids.back(), "ping") + "\n";
        }
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(writeWithin(*bridge, flood, 300s));
    readRepliesTo(ids, 600s);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const std::optional<long> peakKb = procStatus(bridge->pid(), "VmHWM");
    finish();
    auditReplies(ids, 0);
    expectOnlyFailureLines();
    ASSERT_TRUE(peakKb.has_value());
    EXPECT_LT(*peakKb, kFloodPeakKb);
    std::cout << "[ FIGURES  ] 10000 requests in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
              << " ms; bridge peak RSS " << *peakKb / 1024 << " MB, peak threads "
              << sampler.peakThreads() << "; the app saw " << app->requests().size()
              << " requests; " << bridge->stderrLines().size() << " answered offline";
    std::map<std::string, int> reasons;
    for (const std::string& line : bridge->stderrLines())
        ++reasons[line];
    for (const auto& [reason, count] : reasons)
        std::cout << "; " << count << " x " << reason;
    std::cout << "\n";
}

TEST_F(HostPressure, LineOfAHundredMegabytesIsForwardedWhileSmallMessagesGoOn) {
    // ThreadSanitizer pays for every byte the parser touches: 100 MB would take minutes there.
    const std::size_t size = kThreadSanitizerBuild ? 16u << 20 : 100u << 20;
    startBridge();
    std::vector<std::string> ids = {"\"big\""};
    std::string input = R"({"jsonrpc":"2.0","id":"big","method":"ping","params":{"blob":")" +
                        std::string(size, 'x') + "\"}}\n";
    for (int id = 1; id <= 50; ++id) {
        ids.push_back(std::to_string(id));
        input += request(ids.back(), "ping") + "\n";
    }
    ASSERT_TRUE(writeWithin(*bridge, input, 300s));
    // Input stays open until every reply is in, so the end-of-input drain limit plays no part.
    readRepliesTo(ids, 300s);
    const std::optional<long> peakKb = procStatus(bridge->pid(), "VmHWM");
    finish();
    auditReplies(ids, 0);
    EXPECT_EQ(app->requests("ping").size(), 51u);
    EXPECT_TRUE(bridge->stderrLines().empty());
    std::cout << "[ FIGURES  ] a " << (size >> 20) << " MB line: bridge peak RSS "
              << peakKb.value_or(0) / 1024 << " MB\n";
}

// With one tool call running and ten thousand queued behind it, the host withdraws 300 of them
// with "notifications/cancelled", pings in between. A cancellation must not cost in proportion
// to the queue: the pings are answered at once.
TEST_F(HostPressure, CancelStormOverALongQueueKeepsPingsPrompt) {
    constexpr int kQueued = 10000;
    constexpr int kCancels = 300;
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    send(toolCall("1"));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1));
    std::vector<std::string> kept = {"1"};
    std::vector<std::string> withdrawn;
    std::string queue;
    for (int id = 2; id <= kQueued + 1; ++id)
        queue += toolCall(std::to_string(id)) + "\n";
    ASSERT_TRUE(writeWithin(*bridge, queue + request("20000", "ping") + "\n", 60s));
    // Input is taken in order: once the ping is answered, every call is queued.
    ASSERT_TRUE(awaitLine(R"({"jsonrpc":"2.0","id":20000,"result":{}})", 60s));

    // Spread over the queue, from its far end towards the front.
    std::string storm;
    std::vector<std::string> pings;
    for (int i = 0; i < kCancels; ++i) {
        withdrawn.push_back(std::to_string(kQueued + 1 - i * (kQueued / kCancels)));
        storm += cancelled(withdrawn.back()) + "\n";
        if (i % 10 == 9) {
            pings.push_back(std::to_string(30000 + i));
            storm += request(pings.back(), "ping") + "\n";
        }
    }
    const auto stormStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(writeWithin(*bridge, storm, 10s));
    // Each ping runs on a thread of its own, so the replies may come in any order.
    std::set<std::string> unanswered;
    for (const std::string& id : pings)
        unanswered.insert(R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
    std::chrono::milliseconds worst{0};
    while (!unanswered.empty()) {
        const std::optional<std::string> line = bridge->readLine(10s);
        ASSERT_TRUE(line.has_value()) << unanswered.size() << " pings unanswered";
        received.push_back(*line);
        ASSERT_EQ(unanswered.erase(*line), 1u) << *line;
        worst = std::max(worst, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - stormStart));
    }
    EXPECT_LT(worst, 1s);

    gate->open();
    for (int id = 2; id <= kQueued + 1; ++id) {
        const std::string idText = std::to_string(id);
        if (std::find(withdrawn.begin(), withdrawn.end(), idText) == withdrawn.end())
            kept.push_back(idText);
    }
    const auto drainStart = std::chrono::steady_clock::now();
    readRepliesTo(kept, 300s);
    const auto drainMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - drainStart);
    finish();
    auditReplies(kept, 0);
    for (const std::string& id : withdrawn)
        EXPECT_EQ(countReplies(received, id), 0u) << id;
    std::vector<std::string> reached;
    for (const RecordedRequest& call : app->requests("tools/call"))
        reached.push_back(call.idText);
    EXPECT_EQ(reached, kept);
    EXPECT_TRUE(app->requests("notifications/cancelled").empty());
    EXPECT_TRUE(bridge->stderrLines().empty());
    std::cout << "[ FIGURES  ] " << kCancels << " cancels over " << kQueued
              << " queued tool calls: worst ping delay " << worst.count() << " ms; the "
              << kept.size() << " calls left ran in " << drainMs.count() << " ms\n";
}

// The host closes its end of the bridge's output at some point and goes on writing requests.
struct ClosedOutputCase {
    const char* name;
    std::size_t bigReplyBytes;  // a tool call whose echo is being written when the output closes
    bool closeBeforeAnyReply;
};
void PrintTo(const ClosedOutputCase& c, std::ostream* os) {
    *os << c.name;
}

class ClosedOutput : public HostPressure, public ::testing::WithParamInterface<ClosedOutputCase> {};

TEST_P(ClosedOutput, BridgeGoesOnAndEndsWithTheInput) {
    const ClosedOutputCase& c = GetParam();
    app->setTools(R"([{"name":"changed"}])");  // the opening writes a list change as well
    const auto gate = std::make_shared<Gate>();
    app->hold("tools/call", gate);
    startBridge();
    if (c.closeBeforeAnyReply) bridge->closeOutput();
    std::string burst = toolCall("1", std::string(c.bigReplyBytes, 'y')) + "\n";
    for (int id = 2; id <= 2000; ++id) {
        burst += request(std::to_string(id), id % 2 == 0 ? "ping" : "tools/list") + "\n";
    }
    ASSERT_TRUE(writeWithin(*bridge, burst, 120s));
    ASSERT_TRUE(app->waitForRequests("tools/call", 1, 30s));
    gate->open();
    if (!c.closeBeforeAnyReply) {
        // Close while replies, the big one among them, are on their way.
        std::this_thread::sleep_for(20ms);
        bridge->closeOutput();
    }
    for (int id = 2001; id <= 3000; ++id) {
        ASSERT_TRUE(bridge->writeLine(request(std::to_string(id), "ping")));
    }
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(60s), 0);
    bridge->waitForOutputEnd();
    expectOnlyFailureLines();
    FaultTally::requests(3000);
    FaultTally::faults(1);
}

INSTANTIATE_TEST_SUITE_P(
    HostPressure, ClosedOutput,
    ::testing::Values(ClosedOutputCase{"BeforeAnyReply", 16, true},
                      ClosedOutputCase{"WhileABigReplyIsWritten", 8u << 20, false},
                      ClosedOutputCase{"WhileSmallRepliesAreWritten", 16, false}),
    CaseName());

}  // namespace
