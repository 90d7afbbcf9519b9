// The link to the app: the one MCP session at a time, opened on demand by replaying the host's
// initialize, backed off after a failed opening, the forwarding of host messages inside it, and
// its end. Shared by every thread of the bridge.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "applink/app_session.h"
#include "applink/http_client.h"
#include "applink/standing_stream.h"
#include "config/discovery.h"

// The app answered, but the exchange can't give the host what it asked for: the host's request is
// answered with the error's text, and the session stays. Raised for a message larger than the
// bridge takes, or a body in an encoding it never asked for.
class AppFaultError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The app refused a request with an HTTP error status and no JSON-RPC message in the body.
class RejectedError : public AppFaultError {
  public:
    explicit RejectedError(int status)
        : AppFaultError("The app rejected the request (HTTP " + std::to_string(status) + ")") {}
};

struct AppLinkSettings {
    std::function<std::optional<DiscoveryInfo>()> readDiscovery;
    std::int64_t requestTimeoutMs = 15000;  // the link's own requests; the whole opening
    // The recorded tools array; when the app's differ, an opening that asked for it tells the host.
    std::string snapshotToolsJson = "[]";
    std::function<void(const std::string& line)> notifyHost;
    // The texts that arrive on the session's standing event stream, which no host message owns.
    std::function<void(std::string text)> onStreamText;
    // One line for standard error.
    std::function<void(const std::string& line)> reportFailure;
    // Whether an open session keeps the app's standing event stream open; a link that only asks
    // and reads the answers needs none.
    bool standingStream = true;
    // How the standing stream backs off between reopenings when the app names no delay.
    std::chrono::milliseconds streamFirstBackOff{1000};
    std::chrono::milliseconds streamMostBackOff{30000};
};

// Whether a reading of the discovery file names the app instance of `session`.
bool namesSameApp(const DiscoveryInfo& info, const AppSession& session);

class AppLink {
  public:
    AppLink(AppLinkSettings settings, HttpClient& client);
    AppLink(const AppLink&) = delete;
    AppLink& operator=(const AppLink&) = delete;

    // The params of the host's latest initialize, replayed by every later opening.
    void setHostInitializeParams(std::string params);

    // The app's initialize result when a session is open or this call opened one; nothing when
    // the app is not available. With `refreshTools` an opening also compares the app's tools
    // with the snapshot's.
    std::optional<std::string> ensureSession(bool refreshTools);
    std::optional<AppSession> currentSession();

    enum class Forwarded {
        Done,         // the app answered; its texts went to `onText`
        SessionGone,  // nothing was relayed; open a new session and send the message again
        Stopped,      // `stop` ended the exchange
    };
    // Sends one host message in the open session and hands each JSON-RPC text of the reply to
    // `onText` as it arrives. The status is decided before any text is handed on. An event stream
    // that ends or breaks before `answered` is true, and that carried event ids, is resumed with
    // GETs from its last event, while resumed streams keep bringing events. Throws
    // std::runtime_error "The connection to the app was lost", RejectedError or AppFaultError.
    Forwarded forward(const std::string& line, const std::function<void(std::string)>& onText,
                      const std::function<bool()>& answered, ExchangeStop* stop = nullptr);

    // Ends the session with a DELETE when it has an id; the reply and any failure are ignored.
    void closeSession();
    // Ends the standing stream and waits for its thread, so that it relays nothing more.
    void endStandingStream();

  private:
    std::optional<std::string> openSession(bool refreshTools, const std::string& params);
    void dropSession(const AppSession& session);
    void noteSessionFailure();
    void refreshToolList(HttpClient& via, const AppSession& session, std::int64_t readTimeoutMs);
    enum class Resumed { Answered, Stopped, Refused, Broken };
    Resumed resume(const AppSession& session, std::string lastEventId,
                   std::optional<std::int64_t> retryMs,
                   const std::function<void(std::string)>& onText,
                   const std::function<bool()>& answered, ExchangeStop* stop);

    const AppLinkSettings settings;
    HttpClient& client;

    std::mutex connectMutex;  // one opening at a time; taken before stateMutex
    std::mutex stateMutex;    // guards everything below
    std::optional<AppSession> appSession;
    std::int32_t sessionCounter = 0;
    std::int32_t failureCount = 0;
    bool backingOff = false;
    std::int64_t lastFailureTime = 0;  // steady clock, nanoseconds
    std::string initializeResult;
    std::string hostInitializeParams = "{}";

    // Last: its thread uses the members above until it has ended.
    StandingStream standingStream;
};
