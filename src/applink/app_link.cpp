// The session with the app: opened on demand by replaying the host's initialize, shared by every
// message, dropped when the app no longer knows it, ended at the end of the run.
#include "applink/app_link.h"

#include <chrono>

#include "applink/http_exchange.h"
#include "jsonrpc/json.h"
#include "jsonrpc/replies.h"

namespace {

constexpr std::int64_t kBackOffNs = 2'000'000'000;
const std::string kInitializedBody = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
const std::string kToolListBody = R"({"jsonrpc":"2.0","id":0,"method":"tools/list"})";
constexpr char kListChanged[] = R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})";

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The first text that is an object whose "result" is an object, as a parsed document.
bool findResultObject(const std::vector<std::string>& messages, rapidjson::Document& found) {
    for (const std::string& text : messages) {
        jsonrpc::parseJson(found, text);
        if (found.HasParseError() || !found.IsObject()) continue;
        const auto result = found.FindMember("result");
        if (result != found.MemberEnd() && result->value.IsObject()) return true;
    }
    return false;
}

// Bounds a whole opening: every exchange in it waits at most for what is left of the time, and
// an app that keeps a reply trickling in is stopped when the time is up.
class OpeningDeadline {
  public:
    explicit OpeningDeadline(std::int64_t limitMs)
        : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)) {}

    std::int64_t remainingMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        return std::max<std::int64_t>(left.count(), 1);
    }
    bool passed() const { return std::chrono::steady_clock::now() >= end; }

  private:
    const std::chrono::steady_clock::time_point end;
};

// A client that stops every exchange once the opening's deadline has passed, checked whenever
// the app sends something.
class DeadlineClient final : public HttpClient {
  public:
    DeadlineClient(HttpClient& innerClient, const OpeningDeadline& openingDeadline)
        : inner(innerClient), deadline(openingDeadline) {}

    HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) override {
        Guard guard(sink, deadline);
        return inner.perform(request, guard, stop);
    }

  private:
    struct Guard final : HttpSink {
        Guard(HttpSink& innerSink, const OpeningDeadline& openingDeadline)
            : sink(innerSink), deadline(openingDeadline) {}
        bool onHead(const HttpHead& head) override {
            return !deadline.passed() && sink.onHead(head);
        }
        bool onBody(std::string_view bytes) override {
            return !deadline.passed() && sink.onBody(bytes);
        }
        HttpSink& sink;
        const OpeningDeadline& deadline;
    };

    HttpClient& inner;
    const OpeningDeadline& deadline;
};

StandingStreamSettings standingStreamSettings(const AppLinkSettings& link) {
    StandingStreamSettings stream;
    stream.onText = link.onStreamText;
    stream.stillTheApp = [readDiscovery = link.readDiscovery](const AppSession& session) {
        const std::optional<DiscoveryInfo> discovery = readDiscovery();
        return discovery && namesSameApp(*discovery, session);
    };
    stream.reportFailure = link.reportFailure;
    stream.firstBackOff = link.streamFirstBackOff;
    stream.mostBackOff = link.streamMostBackOff;
    return stream;
}

}  // namespace

AppLink::AppLink(AppLinkSettings settingsIn, HttpClient& clientIn)
    : settings(std::move(settingsIn)),
      client(clientIn),
      standingStream(standingStreamSettings(settings), clientIn) {}

void AppLink::setHostInitializeParams(std::string params) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    hostInitializeParams = std::move(params);
}

std::optional<AppSession> AppLink::currentSession() {
    const std::lock_guard<std::mutex> lock(stateMutex);
    return appSession;
}

void AppLink::dropSession(const AppSession& session) {
    // The stream is ended under the lock, so a drop and an opening can't cross.
    const std::lock_guard<std::mutex> lock(stateMutex);
    if (!appSession || appSession->generation != session.generation) return;
    appSession.reset();
    standingStream.close(session.generation);
}

void AppLink::noteSessionFailure() {
    const std::lock_guard<std::mutex> lock(stateMutex);
    ++failureCount;
    backingOff = true;
    lastFailureTime = steadyNowNs();
}

std::optional<std::string> AppLink::ensureSession(bool refreshTools) {
    std::int32_t failuresBefore = 0;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (appSession) return initializeResult;
        if (backingOff && steadyNowNs() - lastFailureTime < kBackOffNs) return std::nullopt;
        failuresBefore = failureCount;
    }
    const std::lock_guard<std::mutex> opening(connectMutex);
    std::string params;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        if (appSession) return initializeResult;
        if (failureCount != failuresBefore) return std::nullopt;
        params = hostInitializeParams;
    }
    return openSession(refreshTools, params);
}

std::optional<std::string> AppLink::openSession(bool refreshTools, const std::string& params) {
    const std::optional<DiscoveryInfo> discovery = settings.readDiscovery();
    if (!discovery) return std::nullopt;
    AppSession session;
    session.host = discovery->host;
    session.port = discovery->port;
    session.path = discovery->path;
    session.authToken = discovery->authToken;
    session.pid = discovery->pid;

    const OpeningDeadline deadline(settings.requestTimeoutMs);
    DeadlineClient bounded(client, deadline);
    const std::string initializeBody =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":)" + params + "}";
    const AppReply reply = sendToApp(bounded, session, &initializeBody, deadline.remainingMs());
    rapidjson::Document answer;
    if (reply.status != 200 || !findResultObject(reply.messages, answer)) {
        noteSessionFailure();
        return std::nullopt;
    }
    const rapidjson::Value& resultObject = answer["result"];
    std::string result = jsonrpc::toJsonText(resultObject);
    session.sessionId = reply.sessionId;
    const auto version = resultObject.FindMember("protocolVersion");
    if (version != resultObject.MemberEnd() && version->value.IsString())
        session.protocolVersion = version->value.GetString();

    if (!deadline.passed()) sendToApp(bounded, session, &kInitializedBody, deadline.remainingMs());
    if (refreshTools && !deadline.passed())
        refreshToolList(bounded, session, deadline.remainingMs());
    // Past the deadline the app answered initialize in time but nothing after it: the session is
    // used all the same, as after any failed initialized or tool-list request.

    const std::lock_guard<std::mutex> lock(stateMutex);
    backingOff = false;
    session.generation = ++sessionCounter;
    if (settings.standingStream) standingStream.open(session);
    appSession = std::move(session);
    initializeResult = std::move(result);
    return initializeResult;
}

void AppLink::refreshToolList(HttpClient& via, const AppSession& session,
                              std::int64_t readTimeoutMs) {
    const AppReply reply = sendToApp(via, session, &kToolListBody, readTimeoutMs);
    if (reply.status != 200) return;
    rapidjson::Document recorded;
    jsonrpc::parseJson(recorded, settings.snapshotToolsJson);
    rapidjson::Document answer;
    if (!findResultObject(reply.messages, answer)) return;
    const rapidjson::Value& result = answer["result"];
    const auto tools = result.FindMember("tools");
    if (tools == result.MemberEnd() ||
        tools->value != static_cast<const rapidjson::Value&>(recorded)) {
        if (settings.notifyHost) settings.notifyHost(kListChanged);
    }
}

void AppLink::endStandingStream() {
    standingStream.closeAndWait();
}

void AppLink::closeSession() {
    standingStream.close();
    const std::optional<AppSession> session = currentSession();
    if (!session || session->sessionId.empty()) return;
    sendToApp(client, *session, nullptr, settings.requestTimeoutMs);
}
