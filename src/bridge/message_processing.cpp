// What happens to one host message once it is routed: initialize is answered here, the
// initialized notification is swallowed, and everything else goes to the app, with the bridge
// answering in the app's place when the app can't be used.
#include <stdexcept>

#include "bridge/mcp_bridge.h"
#include "bridge/reply_tracker.h"
#include "jsonrpc/id_text.h"
#include "jsonrpc/json.h"
#include "jsonrpc/screening.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxAttempts = 3;

// Makes `parent[name]` an object, replacing whatever else stands there, and returns it.
rapidjson::Value& objectMember(rapidjson::Value& parent, const char* name,
                               rapidjson::Document::AllocatorType& allocator) {
    auto member = parent.FindMember(name);
    if (member != parent.MemberEnd() && member->value.IsObject()) return member->value;
    if (member != parent.MemberEnd()) parent.RemoveMember(member);
    parent.AddMember(rapidjson::StringRef(name), rapidjson::Value(rapidjson::kObjectType),
                     allocator);
    return (parent.MemberEnd() - 1)->value;
}

}  // namespace

void McpBridge::handle(const std::string& line) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, line);
    const std::string method = jsonrpc::methodOf(document);
    const std::string idText = jsonrpc::idTextOf(document, line);

    if (method == "initialize") {
        const auto params = document.FindMember("params");
        answerInitialize(
            idText, params != document.MemberEnd() ? jsonrpc::toJsonText(params->value) : "{}");
        return;
    }
    if (method == "notifications/initialized") return;

    const auto tracker = std::make_shared<ReplyTracker>(document, line, idText, writer);
    auto stop = std::make_shared<ExchangeStop>();
    // A request the host may cancel, and the app answer on any stream, while the app works on it.
    std::optional<std::list<RunningRequest>::iterator> running;
    if (document.IsObject() && !method.empty()) {
        const auto id = document.FindMember("id");
        if (id != document.MemberEnd() && (id->value.IsString() || id->value.IsNumber())) {
            RunningRequest entry{rapidjson::Document(), stop, tracker};
            entry.id.CopyFrom(id->value, entry.id.GetAllocator());
            const std::lock_guard<std::mutex> lock(stateMutex);
            running = runningRequests.insert(runningRequests.end(), std::move(entry));
        }
    }

    try {
        relayToApp(line, *tracker, stop.get());
    } catch (const AppFaultError& fault) {
        // A rejection among them.
        const std::string message = fault.what();
        writeError(message);
        tracker->answerInPlace(jsonrpc::rejectionResponder(message));
    } catch (const std::exception& failure) {
        writeError(failure.what());
        tracker->answerInPlace([this](const std::string& id, const std::string& name) {
            return offlineAnswer(id, name);
        });
    }

    if (running) {
        const std::lock_guard<std::mutex> lock(stateMutex);
        runningRequests.erase(*running);
        requestEnded.notify_all();
    }
}

void McpBridge::relayToApp(const std::string& line, ReplyTracker& tracker, ExchangeStop* stop) {
    const auto relay = [this, &tracker](std::string text) {
        deliverFromApp(std::move(text), &tracker);
    };
    const auto answered = [&tracker] { return tracker.responded(); };
    for (int attempts = 0;; ++attempts) {
        if (attempts == kMaxAttempts) throw std::runtime_error("The app rejected the session");
        if (!link.ensureSession(true)) throw std::runtime_error("The app is not available");
        switch (link.forward(line, relay, answered, stop)) {
            case AppLink::Forwarded::Done:
                tracker.finishWithoutResponse();
                return;
            case AppLink::Forwarded::Stopped:
                // The host cancelled the request, or the app answered it on another stream: the
                // host expects nothing more for it.
                tracker.abandon();
                return;
            case AppLink::Forwarded::SessionGone:
                break;
        }
    }
}

namespace {

// The id of a response that names one: an object with "result" or "error" and a string or
// number id.
const rapidjson::Value* respondedId(const rapidjson::Document& text) {
    if (text.HasParseError() || !text.IsObject()) return nullptr;
    if (!text.HasMember("result") && !text.HasMember("error")) return nullptr;
    const auto id = text.FindMember("id");
    if (id == text.MemberEnd() || !(id->value.IsString() || id->value.IsNumber())) return nullptr;
    return &id->value;
}

}  // namespace

void McpBridge::deliverFromApp(std::string text, ReplyTracker* owner) {
    rapidjson::Document parsed;
    jsonrpc::parseJson(parsed, text);
    const rapidjson::Value* id = respondedId(parsed);
    if (id != nullptr && (owner == nullptr || !owner->isFor(*id))) {
        std::shared_ptr<ReplyTracker> target;
        std::shared_ptr<ExchangeStop> stop;
        {
            const std::lock_guard<std::mutex> lock(stateMutex);
            for (const RunningRequest& request : runningRequests) {
                if (request.id == *id) {
                    target = request.tracker;
                    stop = request.stop;
                    break;
                }
            }
        }
        if (target) {
            target->relay(text, parsed);
            // Answered on another stream: the request's own exchange has nothing more to bring.
            if (target->responded()) stop->request();
            return;
        }
        // On the session's own stream, a response to nothing in flight was answered already.
        if (owner == nullptr) return;
    }
    if (owner != nullptr) {
        owner->relay(text, parsed);
    } else {
        writer(text);
    }
}

void McpBridge::answerInitialize(const std::string& idText, const std::string& paramsText) {
    link.setHostInitializeParams(paramsText);
    const std::optional<std::string> appResult = link.ensureSession(false);

    rapidjson::Document result;
    jsonrpc::parseJson(result, appResult ? *appResult : config.snapshot.initializeJson);
    if (result.HasParseError() || !result.IsObject()) result.SetObject();
    auto& allocator = result.GetAllocator();
    rapidjson::Value& capabilities = objectMember(result, "capabilities", allocator);
    rapidjson::Value& tools = objectMember(capabilities, "tools", allocator);
    tools.RemoveMember("listChanged");
    tools.AddMember("listChanged", true, allocator);

    writer("{\"jsonrpc\":\"2.0\",\"id\":" + idText + ",\"result\":" + jsonrpc::toJsonText(result) +
           "}");
}

void McpBridge::writeError(const std::string& message) {
    platform::writeStandardError(message + "\n");
}
