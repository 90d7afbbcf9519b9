// One host line through submit and handle while no app can be reached (the discovery file does not
// exist), with serializeToolCalls on or off as the first input byte says. Properties: every
// output line is one JSON text on one line; a request that expects a reply gets exactly one reply
// carrying its id, alone or inside the batch reply; initialize gets one reply with its id; a line
// nested too deep gets only the depth error; nothing else gets more than one line.
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "bridge/depth_guard.h"
#include "bridge/mcp_bridge.h"
#include "fuzz_support.h"
#include "jsonrpc/json.h"

namespace {

using fuzzing::fail;
using fuzzing::Recorder;

const std::string kDepthReply =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The message nests arrays or objects more than 256 levels deep"}})";

BridgeConfig offlineConfig(bool serialize) {
    BridgeConfig config;
    config.discoveryPath = "/nonexistent/mcp-bridge-fuzz/discovery.json";
    config.offlineMessage = "The app is \"closed\"\n\ttry later \\ \x01";
    config.snapshot.initializeJson =
        R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"s"}})";
    config.snapshot.toolsJson = R"([{"name":"echo","inputSchema":{"type":"object"}}])";
    config.serializeToolCalls = serialize;
    return config;
}

// The method as the host's message names it: a string "method", up to its first NUL.
std::string methodName(const rapidjson::Value& message) {
    if (!message.IsObject()) return {};
    const auto method = message.FindMember("method");
    if (method == message.MemberEnd() || !method->value.IsString()) return {};
    return std::string(fuzzing::beforeNul(
        std::string_view(method->value.GetString(), method->value.GetStringLength())));
}

// The id of a request that expects a reply, or nothing for any other message.
const rapidjson::Value* expectedId(const rapidjson::Value& message) {
    if (!message.IsObject()) return nullptr;
    const auto version = message.FindMember("jsonrpc");
    if (version == message.MemberEnd() || !version->value.IsString() ||
        std::string_view(version->value.GetString(), version->value.GetStringLength()) != "2.0") {
        return nullptr;
    }
    if (methodName(message).empty()) return nullptr;
    const auto id = message.FindMember("id");
    if (id == message.MemberEnd() || !(id->value.IsString() || id->value.IsNumber())) {
        return nullptr;
    }
    return &id->value;
}

// Reply lines are read as the request was: the bridge copies ids as written, so the same reading
// gives the same value (the id text itself is checked by the id-text target).
void parseReply(rapidjson::Document& reply, const std::string& line) {
    jsonrpc::parseJson(reply, line);
}

// Whether a reply's id is the id the bridge read from the request. Past the double range the
// bridge reads infinity and writes a number that reads as beyond the range again (which the
// full-precision reader takes as a NaN with the number's sign).
bool sameId(const rapidjson::Value& sent, const rapidjson::Value& got) {
    if (!sent.IsNumber() || !got.IsNumber() || !(sent.IsDouble() || got.IsDouble())) {
        return sent == got;
    }
    const double a = sent.GetDouble();
    const double b = got.GetDouble();
    if (!std::isfinite(a) || !std::isfinite(b)) {
        return !std::isfinite(a) && !std::isfinite(b) && std::signbit(a) == std::signbit(b);
    }
    return a == b;
}

// The "id" of a reply line, which must be a JSON object.
const rapidjson::Value* replyId(const rapidjson::Value& reply) {
    if (!reply.IsObject()) return nullptr;
    const auto id = reply.FindMember("id");
    return id == reply.MemberEnd() ? nullptr : &id->value;
}

void checkOneReplyWithId(const std::vector<std::string>& out, const rapidjson::Value* id,
                         const std::string& line) {
    if (out.size() != 1) fail("a request got other than exactly one reply line", line);
    rapidjson::Document reply;
    parseReply(reply, out[0]);
    const rapidjson::Value* got = replyId(reply);
    const rapidjson::Value null;
    if (got == nullptr || !sameId(id != nullptr ? *id : null, *got)) {
        fail("the reply does not carry the request's id", out[0]);
    }
}

// Every request of the batch that expects a reply has a reply with its id, in batch order.
void checkBatchReply(const std::vector<std::string>& out, const rapidjson::Document& batch,
                     const std::string& line) {
    std::vector<const rapidjson::Value*> ids;
    for (const auto& element : batch.GetArray()) {
        if (const rapidjson::Value* id = expectedId(element)) ids.push_back(id);
    }
    if (out.size() > 1) fail("a batch got more than one line", line);
    if (ids.empty()) return;
    if (out.size() != 1) fail("a batch with requests got no reply", line);
    rapidjson::Document reply;
    parseReply(reply, out[0]);
    if (!reply.IsArray()) fail("a batch with requests got no array", out[0]);
    std::size_t next = 0;
    for (const auto& element : reply.GetArray()) {
        const rapidjson::Value* id = replyId(element);
        if (next < ids.size() && id != nullptr && sameId(*ids[next], *id)) ++next;
    }
    if (next != ids.size()) fail("a request of a batch got no reply with its id", line);
}

void checkLine(const std::string& line, bool serialize) {
    Recorder recorder;
    {
        // Messages run on the calling thread; queued tool calls run on the real worker.
        McpBridge bridge(offlineConfig(serialize), recorder.writer(),
                         [](std::function<void()> task) { task(); });
        bridge.submit(line);
        if (!bridge.drain(10000)) fail("a message was still in flight after 10 s", line);
    }
    const std::vector<std::string>& out = recorder.lines;
    for (const std::string& text : out) {
        if (!fuzzing::isOneJsonLine(text)) fail("an output line is not one JSON text", text);
    }

    if (nestsTooDeep(line)) {
        if (out != std::vector<std::string>{kDepthReply}) fail("too deep, but not the depth error");
        return;
    }
    rapidjson::Document message;
    jsonrpc::parseJson(message, line);
    if (message.HasParseError()) {
        if (out.size() != 1) fail("a line that is not JSON got other than one error", line);
        return;
    }
    if (methodName(message) == "initialize") {
        const auto id = message.FindMember("id");
        checkOneReplyWithId(out, id == message.MemberEnd() ? nullptr : &id->value, line);
        return;
    }
    if (message.IsArray()) {
        checkBatchReply(out, message, line);
        return;
    }
    if (const rapidjson::Value* id = expectedId(message)) {
        // The one message that expects a reply and is deliberately left unanswered: the
        // initialized notification is swallowed whatever else it carries.
        if (methodName(message) == "notifications/initialized") {
            if (!out.empty()) fail("notifications/initialized was answered", line);
            return;
        }
        checkOneReplyWithId(out, id, line);
        return;
    }
    if (out.size() > 1) fail("a message got more than one line", line);
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
