// Forwarding one host message inside the open session, and what each outcome of the exchange
// means for the session and for the host.
#include <algorithm>
#include <vector>

#include "applink/app_link.h"
#include "applink/http_exchange.h"
#include "jsonrpc/json.h"

namespace {

// Forwarded host messages may wait a day for the app's data.
constexpr std::int64_t kForwardReadTimeoutMs = 86'400'000;
// A stream the app ended early is resumed after the delay it named, or this one; never sooner than
// the shortest, so an app that ends every stream at once is not hammered.
constexpr std::int64_t kDefaultResumeDelayMs = 1000;
constexpr std::int64_t kShortestResumeDelayMs = 100;
// Resumptions in a row that got no answer at all before the bridge gives up. A resumed stream that
// the app answered, and later ended, counts as none: apps that poll end theirs again and again.
constexpr int kMostFailedResumptions = 3;

bool holdsJsonRpcObject(const std::vector<std::string>& messages) {
    for (const std::string& text : messages) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, text);
        if (!document.HasParseError() && document.IsObject() && document.HasMember("jsonrpc")) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool namesSameApp(const DiscoveryInfo& info, const AppSession& session) {
    return info.host == session.host && info.port == session.port && info.path == session.path &&
           info.authToken == session.authToken && info.pid == session.pid;
}

AppLink::Forwarded AppLink::forward(const std::string& line,
                                    const std::function<void(std::string)>& onText,
                                    const std::function<bool()>& answered, ExchangeStop* stop) {
    const std::optional<AppSession> session = currentSession();
    if (!session) return Forwarded::SessionGone;
    const std::optional<DiscoveryInfo> discovery = settings.readDiscovery();
    if (!discovery || !namesSameApp(*discovery, *session)) {
        dropSession(*session);
        return Forwarded::SessionGone;
    }

    // An error status is judged on the whole body, which is held back until then; below 400 each
    // text goes on as it arrives.
    bool sessionGone = false;
    std::int32_t status = 0;
    std::vector<std::string> heldBack;
    ReplyReader reader(
        [&](const HttpHead& head) {
            status = head.status;
            sessionGone = status == 401 || status == 404;
            return !sessionGone;
        },
        [&](std::string text) {
            if (status >= 400) {
                heldBack.push_back(std::move(text));
            } else {
                onText(std::move(text));
            }
        });
    const HttpOutcome outcome = client.perform(
        appRequest(*session, HttpRequest::Method::Post, line, kForwardReadTimeoutMs), reader, stop);

    if (sessionGone) {
        dropSession(*session);
        return Forwarded::SessionGone;
    }
    if (reader.encoded()) {
        throw AppFaultError("The app sent a compressed body, which the bridge did not ask for");
    }
    if (reader.tooLarge()) throw AppFaultError("The app sent a message larger than 64 MiB");
    if (outcome == HttpOutcome::Stopped) return Forwarded::Stopped;
    if (outcome == HttpOutcome::NoConnection) {
        dropSession(*session);
        return Forwarded::SessionGone;
    }
    if (outcome == HttpOutcome::Complete) reader.finish();
    if (status >= 400) {
        if (outcome == HttpOutcome::Broken) {
            dropSession(*session);
            throw std::runtime_error("The connection to the app was lost");
        }
        if (!holdsJsonRpcObject(heldBack)) throw RejectedError(status);
        for (std::string& text : heldBack)
            onText(std::move(text));
        return Forwarded::Done;
    }

    bool broken = outcome == HttpOutcome::Broken;
    // The app ended the request's stream early and expects to be asked for the rest.
    if (reader.isEventStream() && reader.lastEventId() && !reader.lastEventId()->empty() &&
        !answered()) {
        switch (resume(*session, *reader.lastEventId(), reader.retryMs(), onText, answered, stop)) {
            case Resumed::Answered:
                return Forwarded::Done;
            case Resumed::Stopped:
                return Forwarded::Stopped;
            case Resumed::Broken:
                broken = true;
                break;
            case Resumed::Refused:
                break;
        }
    }
    if (broken) {
        dropSession(*session);
        throw std::runtime_error("The connection to the app was lost");
    }
    return Forwarded::Done;
}

AppLink::Resumed AppLink::resume(const AppSession& session, std::string lastEventId,
                                 std::optional<std::int64_t> retryMs,
                                 const std::function<void(std::string)>& onText,
                                 const std::function<bool()>& answered, ExchangeStop* stop) {
    ExchangeStop ownStop;
    ExchangeStop& waits = stop != nullptr ? *stop : ownStop;
    Resumed last = Resumed::Refused;
    for (int failed = 0; failed < kMostFailedResumptions;) {
        const std::int64_t delayMs =
            std::max(retryMs.value_or(kDefaultResumeDelayMs), kShortestResumeDelayMs);
        if (waits.waitFor(std::chrono::milliseconds(delayMs))) return Resumed::Stopped;
        ReplyReader reader([](const HttpHead& head) { return head.status == 200; }, onText);
        const HttpOutcome outcome = client.perform(
            appRequest(session, HttpRequest::Method::Get, {}, kForwardReadTimeoutMs, lastEventId),
            reader, stop);
        if (waits.requested()) return Resumed::Stopped;
        // The app is gone.
        if (outcome == HttpOutcome::NoConnection) return Resumed::Broken;
        const std::int32_t status = reader.head().status;
        if (status == 0) {
            last = Resumed::Broken;
            ++failed;
            continue;
        }
        // 405: the app resumes no streams; 404: it no longer knows this one.
        if (status != 200 || !reader.isEventStream()) return last;
        if (outcome == HttpOutcome::Complete) reader.finish();
        if (answered()) return Resumed::Answered;
        if (reader.tooLarge() || reader.encoded()) return Resumed::Broken;
        last = outcome == HttpOutcome::Broken ? Resumed::Broken : Resumed::Refused;
        if (reader.lastEventId() && !reader.lastEventId()->empty())
            lastEventId = *reader.lastEventId();
        if (reader.retryMs()) retryMs = reader.retryMs();
        failed = 0;
    }
    return last;
}
