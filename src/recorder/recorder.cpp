#include "recorder/recorder.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>

#include "applink/app_link.h"
#include "applink/http_exchange.h"
#include "config/config.h"
#include "config/discovery.h"
#include "config/snapshot.h"
#include "platform/platform.h"
#include "recorder/recorder_rules.h"

#ifndef MCP_BRIDGE_VERSION
#define MCP_BRIDGE_VERSION "0"
#endif

namespace {

constexpr std::int64_t kRequestTimeoutMs = 15000;
// An app whose cursors never end would keep the recorder listing for ever.
constexpr int kMostToolPages = 10000;

const std::string kInitializeParams =
    R"({"protocolVersion":"2025-11-25","capabilities":{},)"
    R"("clientInfo":{"name":"mcp-bridge-snapshot","version":")" MCP_BRIDGE_VERSION R"("}})";

// Something kept the recorder from recording or checking; its text is the one line to show.
class CouldNotRun : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Passes every exchange on and keeps how the last one went, so that a failed opening can be told
// as "not running" or "refused".
class WatchedClient final : public HttpClient {
  public:
    explicit WatchedClient(HttpClient& innerClient) : inner(innerClient) {}

    HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) override {
        StatusSink watched(sink);
        lastOutcome = inner.perform(request, watched, stop);
        lastStatus = watched.status;
        return lastOutcome;
    }

    HttpOutcome lastOutcome = HttpOutcome::Complete;
    std::int32_t lastStatus = 0;

  private:
    struct StatusSink final : HttpSink {
        explicit StatusSink(HttpSink& innerSink) : sink(innerSink) {}
        bool onHead(const HttpHead& head) override {
            status = head.status;
            return sink.onHead(head);
        }
        bool onBody(std::string_view bytes) override { return sink.onBody(bytes); }
        HttpSink& sink;
        std::int32_t status = 0;
    };

    HttpClient& inner;
};

std::string endpointOf(const DiscoveryInfo& app) {
    return "http://" + app.host + ":" + std::to_string(app.port) + app.path;
}

// The discovery file that SOURCE names. One that can't be read is taken for a discovery file:
// an app that is not running has none.
std::string discoveryPathOf(const std::string& source, const std::string& localAppData) {
    const std::optional<std::string> text = platform::readSmallRegularFile(source, 1 << 20);
    return text ? discoveryPathFor(source, *text, localAppData) : source;
}

struct Recording {
    std::string initializeJson;
    std::string toolsJson;
};

// Lists every page of the app's tools in the open session.
std::string listTools(WatchedClient& client, const AppSession& session) {
    std::vector<std::string> tools;
    std::optional<std::string> cursor;
    std::set<std::string> cursorsSeen;
    for (int page = 1; page <= kMostToolPages; ++page) {
        const std::string body = toolListRequest(page, cursor);
        const AppReply reply = sendToApp(client, session, &body, kRequestTimeoutMs);
        if (!reply.connected || reply.status == 0) {
            throw CouldNotRun("The app stopped answering while its tools were listed");
        }
        if (reply.status != 200 && reply.messages.empty()) {
            throw CouldNotRun("The app refused tools/list (HTTP " + std::to_string(reply.status) +
                              ")");
        }
        ToolPage found;
        try {
            found = readToolPage(reply.messages);
        } catch (const std::runtime_error& failure) {
            throw CouldNotRun(std::string("Cannot list the tools: ") + failure.what());
        }
        tools.insert(tools.end(), found.tools.begin(), found.tools.end());
        if (!found.nextCursor) return toolArrayText(tools);
        if (!cursorsSeen.insert(*found.nextCursor).second) {
            throw CouldNotRun("The app's tool list goes round in a circle (cursor \"" +
                              *found.nextCursor + "\" came twice)");
        }
        cursor = found.nextCursor;
    }
    throw CouldNotRun("The app's tool list has more than " + std::to_string(kMostToolPages) +
                      " pages");
}

// Opens a session as the bridge does, lists the tools, and ends the session.
Recording record(const std::string& source, HttpClient& httpClient,
                 const std::string& localAppData) {
    const std::string discoveryPath = discoveryPathOf(source, localAppData);
    const auto readDiscovery = [discoveryPath] {
        return readDiscoveryFile(discoveryPath, readDiscoveryText);
    };
    const std::optional<DiscoveryInfo> app = readDiscovery();
    if (!app) {
        throw CouldNotRun("The app is not running: " + pathForMessage(discoveryPath) +
                          " is missing or not a valid discovery file");
    }

    WatchedClient client(httpClient);
    AppLinkSettings settings;
    settings.readDiscovery = readDiscovery;
    settings.requestTimeoutMs = kRequestTimeoutMs;
    settings.standingStream = false;
    AppLink link(std::move(settings), client);
    link.setHostInitializeParams(kInitializeParams);
    const std::optional<std::string> initialize = link.ensureSession(false);
    const std::optional<AppSession> session = link.currentSession();
    if (!initialize || !session) {
        if (client.lastOutcome == HttpOutcome::NoConnection) {
            throw CouldNotRun("The app is not running: nothing answers at " + endpointOf(*app));
        }
        if (client.lastStatus != 0 && client.lastStatus != 200) {
            throw CouldNotRun("The app at " + endpointOf(*app) + " refused the session (HTTP " +
                              std::to_string(client.lastStatus) + ")");
        }
        throw CouldNotRun("The app at " + endpointOf(*app) + " did not open a session");
    }
    try {
        Recording recording{*initialize, listTools(client, *session)};
        link.closeSession();
        return recording;
    } catch (...) {
        link.closeSession();
        throw;
    }
}

void writeFile(const std::string& path, const std::string& text) {
    const std::filesystem::path target(std::u8string(path.begin(), path.end()));
    std::ofstream file(target, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) throw CouldNotRun("Cannot write " + pathForMessage(path));
}

int run(const RecorderCommand& command, HttpClient& client, const std::string& localAppData) {
    if (command.mode == RecorderCommand::Mode::Record) {
        const Recording recording = record(command.source, client, localAppData);
        const std::string text = snapshotText(recording.initializeJson, recording.toolsJson);
        if (command.output.empty()) {
            platform::writeStandardOutputLine(text.substr(0, text.size() - 1));
        } else {
            writeFile(command.output, text);
        }
        return kExitSame;
    }

    // Read as the bridge reads it; with no configuration path the snapshot's path stands as given.
    const Snapshot recorded =
        loadSnapshot(std::string(), command.snapshot, platform::readWholeFile);
    const Recording recording = record(command.source, client, localAppData);
    const ToolDiff diff = diffTools(recorded.toolsJson, recording.toolsJson);
    if (diff.empty()) return kExitSame;
    platform::writeStandardOutputLine(pathForMessage(command.snapshot) +
                                      ": the app's tools differ\n" + describeDiff(diff) +
                                      "(+ added, - removed, ~ changed)");
    return kExitDifferent;
}

}  // namespace

int runRecorder(const std::vector<std::string>& arguments, HttpClient& client,
                const std::string& localAppData) {
    RecorderCommand command;
    try {
        command = parseRecorderArguments(arguments);
    } catch (const UsageError& failure) {
        platform::writeStandardError(std::string("mcp-bridge-snapshot: ") + failure.what() +
                                     " (see --help)\n");
        return kExitCouldNotRun;
    }
    if (command.mode == RecorderCommand::Mode::Help) {
        platform::writeStandardOutputLine(
            std::string_view(kRecorderHelp).substr(0, std::string_view(kRecorderHelp).size() - 1));
        return kExitSame;
    }
    try {
        return run(command, client, localAppData);
    } catch (const std::exception& failure) {
        platform::writeStandardError(std::string(failure.what()) + "\n");
        return kExitCouldNotRun;
    }
}
