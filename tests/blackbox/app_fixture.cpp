#include "app_fixture.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <thread>

#include "fault_support.h"

namespace testing_support {

const char* const kListChanged = R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})";
const std::vector<std::string> kFailureLines = {"The app is not available",
                                                "The app rejected the session",
                                                "The connection to the app was lost"};

std::string toolCall(const std::string& idText, const std::string& tool) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"method":"tools/call","params":{"name":")" +
           tool + R"(","arguments":{}}})";
}

std::string request(const std::string& idText, const std::string& method) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"method":")" + method + R"("})";
}

std::string cancelled(const std::string& requestIdText) {
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
           requestIdText + "}}";
}

std::string appToolResult(const std::string& idText, const std::string& tool) {
    return R"({"jsonrpc":"2.0","id":)" + idText +
           R"(,"result":{"content":[{"type":"text","text":"done"}],"params":{"name":")" + tool +
           R"(","arguments":{}}}})";
}

std::string offlineToolResult(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText +
           R"(,"result":{"isError":true,"content":[{"type":"text","text":")" + kOfflineMessage +
           R"("}]}})";
}

std::string offlineError(const std::string& idText) {
    return errorLine(idText, -32000, kOfflineMessage);
}

std::string errorLine(const std::string& idText, int code, const std::string& message) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"error":{"code":)" + std::to_string(code) +
           R"(,"message":")" + message + R"("}})";
}

std::string noReplyError(const std::string& idText) {
    return errorLine(idText, -32603, "The app sent no JSON-RPC reply");
}

namespace {

bool isReplyWithId(const rapidjson::Value& value, const std::string& idText) {
    if (!value.IsObject() || !(value.HasMember("result") || value.HasMember("error"))) return false;
    const auto id = value.FindMember("id");
    if (id == value.MemberEnd()) return false;
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    id->value.Accept(writer);
    return idText == buffer.GetString();
}

}  // namespace

std::size_t countReplies(const std::vector<std::string>& lines, const std::string& idText) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
        rapidjson::Document document;
        document.Parse(line.c_str(), line.size());
        if (document.HasParseError()) continue;
        if (document.IsArray()) {
            for (const auto& element : document.GetArray()) {
                count += isReplyWithId(element, idText) ? 1 : 0;
            }
        } else {
            count += isReplyWithId(document, idText) ? 1 : 0;
        }
    }
    return count;
}

void AppFixture::SetUp() {
    BridgeFixture::SetUp();
    app = std::make_unique<FakeApp>(discoveryPath);
    // The app starts with the snapshot's tools, so that no list change is announced by default.
    app->setTools(kSnapshotToolsCompact);
}

ChildProcess& AppFixture::startBridge(const std::string& extra,
                                      const std::map<std::string, std::string>& environment) {
    writeConfig(configJson(extra));
    return start(environment);
}

void AppFixture::send(const std::string& line) {
    EXPECT_TRUE(bridge->writeLine(line));
}

std::string AppFixture::next(std::chrono::milliseconds timeout) {
    std::optional<std::string> line = bridge->readLine(timeout);
    if (!line) {
        ADD_FAILURE() << "no output line within " << timeout.count() << " ms";
        return {};
    }
    received.push_back(*line);
    return *line;
}

bool AppFixture::awaitLine(const std::string& expected, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        std::optional<std::string> line = bridge->readLine(left);
        if (!line) return false;
        received.push_back(*line);
        if (*line == expected) return true;
    }
}

bool AppFixture::awaitStderrLines(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bridge->stderrLines().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::vector<std::string> AppFixture::finish() {
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(10s), 0);
    bridge->waitForOutputEnd();
    std::vector<std::string> rest = bridge->pendingLines();
    received.insert(received.end(), rest.begin(), rest.end());
    return rest;
}

void AppFixture::expectOneReplyEach(const std::vector<std::string>& ids) const {
    for (const std::string& id : ids) {
        EXPECT_EQ(countReplies(received, id), 1u) << "replies with id " << id;
    }
}

void AppFixture::expectNoNewRequest(std::size_t knownCount, std::chrono::milliseconds quiet) {
    std::this_thread::sleep_for(quiet);
    EXPECT_EQ(app->requests().size(), knownCount);
}

void AppFixture::readRepliesTo(const std::vector<std::string>& ids,
                               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ReplyAudit audit(received);
    std::size_t missing = audit.missing(ids);
    while (missing > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        // One line may answer several ids (a batch), so never wait for more lines than ids.
        const std::vector<std::string> lines = bridge->readLines(1, left);
        if (lines.empty()) return;
        received.insert(received.end(), lines.begin(), lines.end());
        audit.add(lines.front());
        std::vector<std::string> more = bridge->pendingLines();
        for (const std::string& line : more)
            audit.add(line);
        received.insert(received.end(), more.begin(), more.end());
        missing = audit.missing(ids);
    }
}

void AppFixture::auditReplies(const std::vector<std::string>& ids, std::size_t faults) {
    const ReplyAudit audit(received);
    EXPECT_EQ(audit.invalidLines(), std::vector<std::string>{});
    const std::size_t missing = audit.missing(ids);
    EXPECT_EQ(missing, 0u) << "requests without a reply";
    EXPECT_EQ(audit.duplicated(ids), 0u) << "requests with more than one reply";
    FaultTally::requests(ids.size());
    FaultTally::faults(faults);
    FaultTally::lost(missing);
}

void AppFixture::expectOnlyFailureLines() {
    for (const std::string& line : bridge->stderrLines()) {
        EXPECT_NE(std::find(kFailureLines.begin(), kFailureLines.end(), line), kFailureLines.end())
            << line;
    }
}

}  // namespace testing_support
