#include "bridge_fixture.h"

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
