#include "bridge/reply_tracker.h"

#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"

namespace {

bool expectsReplyTo(const rapidjson::Document& document) {
    if (!document.IsObject() || !jsonrpc::hasJsonRpcVersion(document) ||
        jsonrpc::methodOf(document).empty()) {
        return false;
    }
    const auto id = document.FindMember("id");
    return id != document.MemberEnd() && jsonrpc::isValidId(id->value);
}

// A JSON-RPC response: a non-empty array, or an object with "result" or "error".
bool isResponse(const rapidjson::Document& reply) {
    if (reply.HasParseError()) return false;
    if (reply.IsArray()) return !reply.Empty();
    return reply.IsObject() && (reply.HasMember("result") || reply.HasMember("error"));
}

}  // namespace

ReplyTracker::ReplyTracker(const rapidjson::Document& documentIn, const std::string& lineIn,
                           std::string idTextIn, LineWriter writerIn)
    : document(documentIn),
      line(lineIn),
      idText(std::move(idTextIn)),
      writer(std::move(writerIn)),
      expectsReply(expectsReplyTo(documentIn)) {}

void ReplyTracker::relay(const std::string& text) {
    rapidjson::Document parsed;
    jsonrpc::parseJson(parsed, text);
    relay(text, parsed);
}

void ReplyTracker::relay(const std::string& text, rapidjson::Document& parsed) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (closed) return;
    const bool response = isResponse(parsed);
    if (response && responseWritten && expectsReply) return;
    writer(expectsReply ? jsonrpc::repairErrorId(parsed, text, idText) : text);
    if (response) responseWritten = true;
}

bool ReplyTracker::isFor(const rapidjson::Value& id) const {
    if (!expectsReply) return false;
    const auto own = document.FindMember("id");
    return own != document.MemberEnd() && own->value == id;
}

bool ReplyTracker::responded() {
    const std::lock_guard<std::mutex> lock(mutex);
    return responseWritten;
}

void ReplyTracker::finishWithoutResponse() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (closed || responseWritten) return;
    closed = true;
    // A notification, or a single message that expects no reply, gets nothing.
    if (expectsReply || document.IsArray()) answer(jsonrpc::noReplyResponder);
}

void ReplyTracker::answerInPlace(const jsonrpc::Responder& responder) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (closed || responseWritten) return;
    closed = true;
    answer(responder);
}

void ReplyTracker::abandon() {
    const std::lock_guard<std::mutex> lock(mutex);
    closed = true;
}

void ReplyTracker::answer(const jsonrpc::Responder& responder) {
    const std::string reply = jsonrpc::screenDocument(document, line, responder);
    if (!reply.empty()) writer(reply);
}
