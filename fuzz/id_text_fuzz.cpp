// The id path. Input: a first byte (serializeToolCalls when odd), then one host line, run through
// submit and handle while no app can be reached. Property: a request that expects a reply gets one
// reply, and its id is the request's id text byte for byte, found here independently: by
// RapidJSON's own reader where it takes the line, else by a value of the same kind that stands in
// the line as written.
#include <mutex>
#include <optional>
#include <vector>

#include <rapidjson/reader.h>

#include "bridge/depth_guard.h"
#include "bridge/mcp_bridge.h"
#include "fuzz_support.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"

namespace {

using fuzzing::fail;
using fuzzing::Recorder;

constexpr std::string_view kReplyStart = R"({"jsonrpc":"2.0","id":)";

// Finds where the top-level "id" value (a string or a number) starts and ends. The reader reports
// a string or a number while the stream still stands at its first byte.
struct IdFinder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, IdFinder> {
    const rapidjson::StringStream* stream = nullptr;
    const char* text = nullptr;
    int depth = 0;
    bool nextIsId = false;
    bool found = false;
    std::optional<std::string_view> id;

    bool Default() {
        nextIsId = false;
        return true;
    }
    bool RawNumber(const char* /*str*/, rapidjson::SizeType length, bool /*copy*/) {
        if (nextIsId) id = std::string_view(text + stream->Tell(), length);
        return Default();
    }
    bool String(const char* /*str*/, rapidjson::SizeType /*length*/, bool /*copy*/) {
        if (nextIsId) {
            const std::size_t start = stream->Tell();
            std::size_t end = start + 1;
            while (text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            id = std::string_view(text + start, end + 1 - start);
        }
        return Default();
    }
    bool Key(const char* name, rapidjson::SizeType length, bool /*copy*/) {
        nextIsId = depth == 1 && !found && std::string_view(name, length) == "id";
        found = found || nextIsId;
        return true;
    }
    bool StartObject() { return ++depth, Default(); }
    bool StartArray() { return ++depth, Default(); }
    bool EndObject(rapidjson::SizeType) { return --depth, Default(); }
    bool EndArray(rapidjson::SizeType) { return --depth, Default(); }
};

// The id text by RapidJSON's reader; nothing when the reader refuses the line.
std::optional<std::optional<std::string_view>> readerIdText(const std::string& line) {
    rapidjson::StringStream stream(line.c_str());
    IdFinder finder;
    finder.stream = &stream;
    finder.text = line.c_str();
    rapidjson::Reader reader;
    constexpr unsigned kFlags =
        rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;
    if (reader.Parse<kFlags>(stream, finder).IsError()) return std::nullopt;
    return finder.id;
}

bool expectsReply(const rapidjson::Document& message) {
    if (!message.IsObject() || !jsonrpc::hasJsonRpcVersion(message)) return false;
    const std::string method = jsonrpc::methodOf(message);
    if (method.empty() || method == "notifications/initialized") return false;
    const auto id = message.FindMember("id");
    return id != message.MemberEnd() && jsonrpc::isValidId(id->value);
}

BridgeConfig offlineConfig(bool serialize) {
    BridgeConfig config;
    config.discoveryPath = "/nonexistent/mcp-bridge-fuzz/discovery.json";
    config.offlineMessage = "offline";
    config.snapshot.initializeJson = R"({"capabilities":{}})";
    config.snapshot.toolsJson = "[]";
    config.serializeToolCalls = serialize;
    return config;
}

void checkLine(const std::string& line, bool serialize) {
    if (nestsTooDeep(line)) return;
    rapidjson::Document message;
    jsonrpc::parseJson(message, line);
    if (message.HasParseError() || !expectsReply(message)) return;

    Recorder recorder;
    {
        McpBridge bridge(offlineConfig(serialize), recorder.writer(),
                         [](std::function<void()> task) { task(); });
        bridge.submit(line);
        if (!bridge.drain(10000)) fail("a message was still in flight after 10 s", line);
    }
    if (recorder.lines.size() != 1) fail("a request got other than one reply", line);
    const std::string& reply = recorder.lines[0];
    if (reply.substr(0, kReplyStart.size()) != kReplyStart) fail("an unexpected reply", reply);
    const std::string_view rest = std::string_view(reply).substr(kReplyStart.size());

    if (const auto expected = readerIdText(line)) {
        if (!*expected) fail("the reader found no id in a request", line);
        if (rest.substr(0, (*expected)->size() + 1) != std::string(**expected) + ",") {
            fail("the reply's id is not the request's id text", reply);
        }
        return;
    }
    // The reader refuses lone surrogates and numbers past the double range: the reply's id must
    // still be a text of the line that reads as an id of the same kind.
    const auto id = message.FindMember("id");
    for (std::size_t end = 1; end <= rest.size(); ++end) {
        if (end < rest.size() && rest[end] != ',') continue;
        const std::string candidate(rest.substr(0, end));
        rapidjson::Document value;
        jsonrpc::parseJson(value, candidate);
        if (value.HasParseError() || value.IsString() != id->value.IsString()) continue;
        if (line.find(candidate) == std::string::npos)
            fail("the reply's id is not in the line", reply);
        return;
    }
    fail("the reply's id is not a JSON value", reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool serialize = (data[0] & 1) != 0;
    // As the input framing hands lines over.
    const std::optional<std::string> line = fuzzing::hostLine(fuzzing::bytes(data + 1, size - 1));
    if (line) checkLine(*line, serialize);
    return 0;
}
