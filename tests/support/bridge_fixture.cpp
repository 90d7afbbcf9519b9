#include "bridge_fixture.h"

#include <algorithm>
#include <iostream>

#include "config/path_rules.h"

namespace testing_support {

const char* const kSnapshotJson = R"({
  "initialize": {
    "protocolVersion": "2025-06-18",
    "capabilities": {"tools": {"listChanged": false}, "logging": {}},
    "serverInfo": {"name": "snapshot-app", "version": "1.0.0"}
  },
  "tools": [
    {"name": "echo", "description": "Echoes", "inputSchema": {"type": "object"}},
    {"name": "slow", "inputSchema": {"type": "object"}}
  ]
})";

const char* const kSnapshotToolsCompact =
    R"([{"name":"echo","description":"Echoes","inputSchema":{"type":"object"}},)"
    R"({"name":"slow","inputSchema":{"type":"object"}}])";

const char* const kOfflineMessage = "The app is closed. Start it and try again.";

void BridgeFixture::SetUp() {
    bridgePath = installBridge(dir.path());
    configPath = posixpath::replaceExtensionWithJson(bridgePath.string());
    discoveryPath = dir / "discovery.json";
    writeFile(dir / "snapshot.json", kSnapshotJson);
    writeConfig(configJson());
}

void BridgeFixture::TearDown() {
    if (!HasFailure() || !bridge) return;
    const std::optional<int> exitCode = bridge->wait(0ms);
    const std::vector<std::string> lines = bridge->stderrLines();
    const std::size_t shown = std::min<std::size_t>(lines.size(), 20);
    std::cerr << "The bridge's standard error (" << lines.size() << " lines; exit code "
              << (exitCode ? std::to_string(*exitCode) : "none yet") << "):\n";
    for (std::size_t i = 0; i < shown; ++i)
        std::cerr << "  " << lines[i] << '\n';
}

std::string BridgeFixture::configJson(const std::string& extra) const {
    std::string json = R"({"discoveryFile":")" + bridgeVisiblePath(discoveryPath) +
                       R"(","offlineMessage":")" + kOfflineMessage +
                       R"(","snapshotFile":"snapshot.json")";
    if (!extra.empty()) json += "," + extra;
    return json + "}";
}

void BridgeFixture::writeConfig(const std::string& json) {
    writeFile(configPath, json);
}

ChildProcess& BridgeFixture::start(const std::map<std::string, std::string>& environment) {
    bridge = std::make_unique<ChildProcess>(bridgeCommand(bridgePath), dir.path(), environment);
    return *bridge;
}

BridgeRun BridgeFixture::run(const std::string& input, std::chrono::milliseconds timeout,
                             const std::map<std::string, std::string>& environment) {
    return runBridge(bridgePath, input, timeout, environment);
}

}  // namespace testing_support
