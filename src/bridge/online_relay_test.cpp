// The bridge with an app behind an injected HTTP client: how the app's reply streams reach the
// host as they arrive, what a break means once the response is out, how a cancelled request that
// the app leaves open is given up, and that the host's answers to the app never wait.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "applink/http_client.h"
#include "bridge/mcp_bridge.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Lines {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;

    LineWriter writer() {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return lines.size() >= count; });
    }
    std::vector<std::string> copy() {
        const std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

// Opens and closes like a gate, for the app's replies to wait on.
struct Latch {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    void release() {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return open; });
    }
};

// A sink-side script: what the app does with one forwarded host message.
using Script = std::function<HttpOutcome(const std::string& body, HttpSink& sink, ExchangeStop*)>;

// The app: answers the session's own requests like a small MCP server and leaves every host
// message to the test's script.
class FakeClient final : public HttpClient {
  public:
    explicit FakeClient(Script scriptIn) : script(std::move(scriptIn)) {}

    HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) override {
        // No standing stream, as an app that offers none.
        if (request.method == HttpRequest::Method::Get) return reply(sink, 405, "", "");
        const std::string body(request.body);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            bodies.push_back(body);
        }
        rapidjson::Document document;
        jsonrpc::parseJson(document, body);
        const std::string method = jsonrpc::methodOf(document);
        if (method == "initialize") {
            return reply(sink, 200, "application/json",
                         R"({"jsonrpc":"2.0","id":0,"result":{"capabilities":{}}})");
        }
        if (method == "tools/list" && body.find(R"("id":0)") != std::string::npos) {
            return reply(sink, 200, "application/json",
                         R"({"jsonrpc":"2.0","id":0,"result":{"tools":[]}})");
        }
        if (request.method != HttpRequest::Method::Post || method == "notifications/initialized") {
            return reply(sink, 202, "", "");
        }
        return script(body, sink, stop);
    }

    static HttpOutcome reply(HttpSink& sink, int status, const std::string& type,
                             const std::string& body) {
        HttpHead head;
        head.status = status;
        head.contentType = type;
        head.sessionId = "s-1";
        if (!sink.onHead(head)) return HttpOutcome::Stopped;
        if (!body.empty() && !sink.onBody(body)) return HttpOutcome::Stopped;
        return HttpOutcome::Complete;
    }

    std::vector<std::string> received() {
        const std::lock_guard<std::mutex> lock(mutex);
        return bodies;
    }

  private:
    Script script;
    std::mutex mutex;
    std::vector<std::string> bodies;
};

HttpHead eventStreamHead() {
    HttpHead head;
    head.status = 200;
    head.contentType = "text/event-stream";
    return head;
}

// Blocks until the exchange is stopped from another thread; false after `timeout`.
bool waitUntilStopped(ExchangeStop* stop, std::chrono::milliseconds timeout) {
    Latch stopped;
    if (stop == nullptr) return false;
    stop->attach([&stopped] { stopped.release(); });
    const bool was = stopped.wait(timeout);
    stop->detach();
    return was;
}

class OnlineRelay : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("mcp-bridge-online-" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
        std::ofstream(folder / "discovery.json")
            << R"({"url":"http://127.0.0.1:9/mcp","authToken":"t","pid":1})";
    }
    void TearDown() override {
        bridge.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    void start(Script script, bool serialize = true) {
        client = std::make_unique<FakeClient>(std::move(script));
        BridgeConfig config;
        config.discoveryPath = (folder / "discovery.json").string();
        config.offlineMessage = "offline";
        config.snapshot.initializeJson = R"({"capabilities":{}})";
        config.snapshot.toolsJson = "[]";
        config.serializeToolCalls = serialize;
        bridge = std::make_unique<McpBridge>(std::move(config), output.writer(),
                                             launchDetachedThread, *client);
    }

    fs::path folder;
    Lines output;
    std::unique_ptr<FakeClient> client;
    std::unique_ptr<McpBridge> bridge;
};

const char kCall1[] = R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})";
const char kProgress[] = R"({"jsonrpc":"2.0","method":"notifications/progress","params":{}})";
const char kResult1[] = R"({"jsonrpc":"2.0","id":1,"result":{"content":[]}})";

TEST_F(OnlineRelay, WritesEachEventAsSoonAsItIsComplete) {
    Latch appGoesOn;
    start([&](const std::string&, HttpSink& sink, ExchangeStop*) {
        sink.onHead(eventStreamHead());
        sink.onBody(std::string("data: ") + kProgress + "\n");
        sink.onBody("\n");
        appGoesOn.wait();
        sink.onBody(std::string("data: ") + kResult1 + "\n\n");
        return HttpOutcome::Complete;
    });
    bridge->submit(kCall1);
    ASSERT_TRUE(output.waitFor(1));
    EXPECT_EQ(output.copy(), std::vector<std::string>{kProgress});
    appGoesOn.release();
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(output.copy(), (std::vector<std::string>{kProgress, kResult1}));
}

TEST_F(OnlineRelay, ABreakAfterTheResponseWritesNothingMoreAndOneBeforeItIsAnsweredOffline) {
    const struct {
        const char* name;
        bool responseFirst;
        std::vector<std::string> lines;
    } cases[] = {
        {"after", true, {kProgress, kResult1}},
        {"before",
         false,
         {kProgress,
          R"({"jsonrpc":"2.0","id":1,"result":{"isError":true,"content":[{"type":"text","text":"offline"}]}})"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        output.lines.clear();
        start([&](const std::string&, HttpSink& sink, ExchangeStop*) {
            sink.onHead(eventStreamHead());
            sink.onBody(std::string("data: ") + kProgress + "\n\n");
            if (c.responseFirst) sink.onBody(std::string("data: ") + kResult1 + "\n\n");
            sink.onBody("data: {\"jsonrpc\":\"2.0\",\"met");
            return HttpOutcome::Broken;
        });
        bridge->submit(kCall1);
        ASSERT_TRUE(bridge->drain(5000));
        EXPECT_EQ(output.copy(), c.lines);
    }
}

TEST_F(OnlineRelay, JudgesAnErrorStatusOnTheWholeBodyBeforeRelayingAnything) {
    int attempts = 0;
    start([&](const std::string&, HttpSink& sink, ExchangeStop*) {
        // The first answer says the session is gone; its body is never relayed.
        if (++attempts == 1) return FakeClient::reply(sink, 404, "application/json", kResult1);
        HttpHead head = eventStreamHead();
        head.status = 400;
        if (!sink.onHead(head)) return HttpOutcome::Stopped;
        sink.onBody(std::string("data: ") + kProgress + "\n\n");
        sink.onBody(R"(data: {"jsonrpc":"2.0","id":null,"error":{"code":-32602,"message":"m"}})"
                    "\n\n");
        return HttpOutcome::Complete;
    });
    bridge->submit(kCall1);
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(output.copy(),
              (std::vector<std::string>{
                  kProgress, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"m"}})"}));
}

TEST_F(OnlineRelay, AnEventLargerThanTheBoundEndsTheExchangeAndAnswersTheRequest) {
    start([&](const std::string&, HttpSink& sink, ExchangeStop*) {
        sink.onHead(eventStreamHead());
        const std::string piece(1 << 20, 'x');
        sink.onBody("data: ");
        for (int i = 0; i < 70; ++i) {
            if (!sink.onBody(piece)) return HttpOutcome::Stopped;
        }
        ADD_FAILURE() << "the bridge took a 70 MiB event";
        return HttpOutcome::Complete;
    });
    bridge->submit(kCall1);
    // The limit only tells a hang from an answer: reading 64 MiB takes a plain build a fraction of
    // a second, and ThreadSanitizer, which pays for every byte, some seconds.
    ASSERT_TRUE(bridge->drain(30000));
    EXPECT_EQ(
        output.copy(),
        std::vector<std::string>{
            R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"The app sent a message larger than 64 MiB"}})"});
}

TEST_F(OnlineRelay, ACancelledCallTheAppLeavesOpenIsGivenUpAndTheQueueMovesOn) {
    start([&](const std::string& body, HttpSink& sink, ExchangeStop* stop) {
        if (body.find("notifications/cancelled") != std::string::npos) {
            return FakeClient::reply(sink, 202, "", "");
        }
        if (body.find(R"("id":1,)") == std::string::npos) {
            return FakeClient::reply(sink, 200, "application/json",
                                     R"({"jsonrpc":"2.0","id":2,"result":{}})");
        }
        sink.onHead(eventStreamHead());
        return waitUntilStopped(stop, 10s) ? HttpOutcome::Stopped : HttpOutcome::Complete;
    });
    bridge->submit(kCall1);
    bridge->submit(R"({"jsonrpc":"2.0","id":2,"method":"tools/call"})");
    std::this_thread::sleep_for(100ms);
    bridge->submit(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // The host cancelled 1, so it gets nothing for it; the cancellation reached the app.
    EXPECT_EQ(output.copy(), std::vector<std::string>{R"({"jsonrpc":"2.0","id":2,"result":{}})"});
    bool forwarded = false;
    for (const std::string& sent : client->received())
        forwarded = forwarded || sent.find("notifications/cancelled") != std::string::npos;
    EXPECT_TRUE(forwarded);
}

TEST_F(OnlineRelay, TheHostsAnswerToAnAppRequestReachesTheAppWhileTheCallWaits) {
    Latch answered;
    const std::string elicit =
        R"({"jsonrpc":"2.0","id":"e1","method":"elicitation/create","params":{}})";
    const std::string answer = R"({"jsonrpc":"2.0","id":"e1","result":{"action":"accept"}})";
    std::vector<std::string> order;
    std::mutex orderMutex;
    start([&](const std::string& body, HttpSink& sink, ExchangeStop*) {
        {
            const std::lock_guard<std::mutex> lock(orderMutex);
            order.push_back(body);
        }
        if (body == answer) {
            answered.release();
            return FakeClient::reply(sink, 202, "", "");
        }
        if (body.find(R"("id":2,)") != std::string::npos) {
            return FakeClient::reply(sink, 200, "application/json",
                                     R"({"jsonrpc":"2.0","id":2,"result":{}})");
        }
        sink.onHead(eventStreamHead());
        sink.onBody("data: " + elicit + "\n\n");
        if (!answered.wait()) return HttpOutcome::Broken;
        sink.onBody(std::string("data: ") + kResult1 + "\n\n");
        return HttpOutcome::Complete;
    });
    bridge->submit(kCall1);
    bridge->submit(R"({"jsonrpc":"2.0","id":2,"method":"tools/call"})");
    ASSERT_TRUE(output.waitFor(1));
    EXPECT_EQ(output.copy().front(), elicit);
    bridge->submit(answer);
    ASSERT_TRUE(bridge->drain(5000));
    EXPECT_EQ(output.copy(), (std::vector<std::string>{elicit, kResult1,
                                                       R"({"jsonrpc":"2.0","id":2,"result":{}})"}));
    const std::lock_guard<std::mutex> lock(orderMutex);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[1], answer);  // before the queued call 2
}

}  // namespace
