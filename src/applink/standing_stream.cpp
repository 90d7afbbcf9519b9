#include "applink/standing_stream.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>

#include "applink/http_exchange.h"

namespace {

// The stream may stay quiet for as long as the session lives.
constexpr std::int64_t kStreamReadTimeoutMs = 86'400'000;
// However soon the app asks to be reconnected, an app that ends every stream at once is not
// hammered.
constexpr std::chrono::milliseconds kShortestReopenWait{100};

}  // namespace

struct StandingStream::Run {
    explicit Run(AppSession openedSession) : session(std::move(openedSession)) {}
    const AppSession session;
    ExchangeStop stop;  // ends the running GET and every wait between two of them
};

StandingStream::StandingStream(StandingStreamSettings settingsIn, HttpClient& clientIn)
    : settings(std::move(settingsIn)), client(clientIn) {}

StandingStream::~StandingStream() {
    closeAndWait();
}

void StandingStream::closeAndWait() {
    close();
    std::unique_lock<std::mutex> lock(mutex);
    allEnded.wait(lock, [this] { return threadsRunning == 0; });
}

void StandingStream::open(const AppSession& session) {
    auto run = std::make_shared<Run>(session);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (current) current->stop.request();
        current = run;
        ++threadsRunning;
    }
    try {
        std::thread([this, run] {
            keepOpen(run);
            const std::lock_guard<std::mutex> lock(mutex);
            --threadsRunning;
            allEnded.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        const std::lock_guard<std::mutex> lock(mutex);
        --threadsRunning;
        if (current == run) current.reset();
    }
}

void StandingStream::close(std::int32_t generation) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!current || current->session.generation != generation) return;
    current->stop.request();
    current.reset();
}

void StandingStream::close() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!current) return;
    current->stop.request();
    current.reset();
}

void StandingStream::keepOpen(const std::shared_ptr<Run>& run) {
    std::string lastEventId;
    std::optional<std::int64_t> retryMs;
    std::chrono::milliseconds backOff = settings.firstBackOff;
    bool reported = false;
    bool lost = false;  // the last stream broke
    for (bool first = true; !run->stop.requested(); first = false) {
        if (!first && settings.stillTheApp && !settings.stillTheApp(run->session)) return;

        ReplyReader reader([](const HttpHead& head) { return head.status == 200; },
                           [this](std::string text) {
                               if (settings.onText) settings.onText(std::move(text));
                           });
        const HttpOutcome outcome =
            client.perform(appRequest(run->session, HttpRequest::Method::Get, {},
                                      kStreamReadTimeoutMs, lastEventId),
                           reader, &run->stop);
        if (run->stop.requested()) return;
        const std::int32_t status = reader.head().status;
        // The app offers no standing stream (405), or no longer knows the session (401, 404; the
        // next message finds that out and opens a new one): not asked again in this session.
        if (status == 405 || status == 401 || status == 404) return;
        if (outcome == HttpOutcome::Complete && status == 200) reader.finish();
        if (reader.lastEventId()) lastEventId = *reader.lastEventId();
        if (reader.retryMs()) retryMs = reader.retryMs();

        // One line per session at most, and none while the app is merely gone: a break is told
        // only once the app answers again, since an app that stopped or restarted breaks it too.
        const auto report = [&](const std::string& line) {
            if (!reported && settings.reportFailure) settings.reportFailure(line);
            reported = true;
        };
        if (outcome != HttpOutcome::NoConnection && status != 0 && lost) {
            report("The app's event stream was lost");
        }
        lost = false;
        if (status != 0 && status != 200) {
            report("The app refused its event stream (HTTP " + std::to_string(status) + ")");
        } else if (outcome == HttpOutcome::Broken || !reader.isEventStream() || reader.tooLarge() ||
                   reader.encoded()) {
            lost = outcome != HttpOutcome::NoConnection;
        }
        // A stream that brought something was healthy: the next failure starts the back-off anew.
        if (reader.events() > 0) backOff = settings.firstBackOff;
        std::chrono::milliseconds wait = backOff;
        if (retryMs) {
            wait = std::max(std::chrono::milliseconds(*retryMs), kShortestReopenWait);
        } else {
            backOff = std::min(backOff * 2, settings.mostBackOff);
        }
        if (run->stop.waitFor(wait)) return;
    }
}
