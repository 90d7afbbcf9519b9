// Forwarding one host message inside the open session, and what each outcome of the exchange
// means for the session and for the host.
#include <vector>

#include "applink/app_link.h"
#include "applink/http_exchange.h"
#include "jsonrpc/json.h"

namespace {

// Forwarded host messages may wait a day for the app's data.
constexpr std::int64_t kForwardReadTimeoutMs = 86'400'000;

bool namesSameApp(const DiscoveryInfo& info, const AppSession& session) {
    return info.host == session.host && info.port == session.port && info.path == session.path &&
           info.authToken == session.authToken && info.pid == session.pid;
}

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

AppLink::Forwarded AppLink::forward(const std::string& line,
                                    const std::function<void(std::string)>& onText,
                                    ExchangeStop* stop) {
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
    switch (outcome) {
        case HttpOutcome::Stopped:
            return Forwarded::Stopped;
        case HttpOutcome::NoConnection:
            dropSession(*session);
            return Forwarded::SessionGone;
        case HttpOutcome::Broken:
            dropSession(*session);
            throw std::runtime_error("The connection to the app was lost");
        case HttpOutcome::Complete:
            break;
    }
    reader.finish();
    if (status >= 400) {
        if (!holdsJsonRpcObject(heldBack)) throw RejectedError(status);
        for (std::string& text : heldBack)
            onText(std::move(text));
    }
    return Forwarded::Done;
}
