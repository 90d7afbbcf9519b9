#include "config/config.h"

#include <gtest/gtest.h>

#include <map>

#include "config/path_rules.h"

namespace {

// An in-memory file system for the loader.
struct Files {
    std::map<std::string, std::string> contents;
    FileReader reader() const {
        return [this](const std::string& path) -> std::optional<std::string> {
            const auto found = contents.find(path);
            if (found == contents.end()) return std::nullopt;
            return found->second;
        };
    }
};

// Paths as the platform's own path rules join them.
#ifdef _WIN32
const std::string kConfigPath = "C:\\Tools\\mcp-bridge.json";
const std::string kSnapshotPath = "C:\\Tools\\snapshot.json";
const std::string kAppData = "C:\\Users\\u\\AppData\\Local";
const std::string kAppDataDiscovery = kAppData + "\\App/discovery.json";
const std::string kAbsoluteSnapshot = "D:/elsewhere/s.json";
#else
const std::string kConfigPath = "/opt/bridge/mcp-bridge.json";
const std::string kSnapshotPath = "/opt/bridge/snapshot.json";
const std::string kAppData = "/home/u/.local/share";
const std::string kAppDataDiscovery = kAppData + "/App/discovery.json";
const std::string kAbsoluteSnapshot = "/elsewhere/s.json";
#endif
const std::string kGoodSnapshot = R"({"initialize":{"a":1},"tools":[]})";

std::string loadError(const Files& files) {
    try {
        loadConfig(kConfigPath, kAppData, files.reader());
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "loaded";
}

TEST(LoadConfig, ReadsEveryKey) {
    Files files;
    files.contents[kConfigPath] = R"({
        "discoveryFile": "App/discovery.json", "offlineMessage": "  ",
        "serializeToolCalls": false, "snapshotFile": "snapshot.json", "other": 1 })";
    files.contents[kSnapshotPath] = R"({
        "initialize": { "protocolVersion": "x", "capabilities": {} },
        "tools": [ { "name": "t" } ], "extra": true })";
    const BridgeConfig config = loadConfig(kConfigPath, kAppData, files.reader());
    EXPECT_EQ(config.discoveryPath, kAppDataDiscovery);
    EXPECT_EQ(config.offlineMessage, "  ");
    EXPECT_FALSE(config.serializeToolCalls);
    EXPECT_EQ(config.snapshot.initializeJson, R"({"protocolVersion":"x","capabilities":{}})");
    EXPECT_EQ(config.snapshot.toolsJson, R"([{"name":"t"}])");
    EXPECT_EQ(config.requestTimeoutMs, 15000);
}

TEST(LoadConfig, AppliesDefaultsAndFirstOccurrences) {
    Files files;
    files.contents[kConfigPath] =
        R"({"discoveryFile":"/run/d.json","offlineMessage":"first","offlineMessage":"second",)"
        R"("snapshotFile":")" +
        kAbsoluteSnapshot + R"("})";
    files.contents[kAbsoluteSnapshot] = kGoodSnapshot;
    const BridgeConfig config = loadConfig(kConfigPath, "", files.reader());
    EXPECT_EQ(config.discoveryPath, "/run/d.json");
    EXPECT_EQ(config.offlineMessage, "first");
    EXPECT_TRUE(config.serializeToolCalls);
}

TEST(LoadConfig, WithoutAnAppDataFolderARelativeDiscoveryFileStaysRelative) {
    Files files;
    files.contents[kConfigPath] =
        R"({"discoveryFile":"d.json","offlineMessage":"m","snapshotFile":"snapshot.json"})";
    files.contents[kSnapshotPath] = kGoodSnapshot;
    EXPECT_EQ(loadConfig(kConfigPath, "", files.reader()).discoveryPath, "d.json");
}

TEST(LoadConfig, ReportsTheFirstProblemInOneLine) {
    const std::string good =
        R"("discoveryFile":"d","offlineMessage":"m","snapshotFile":"snapshot.json")";
    const std::string notObject = kConfigPath + " is not a JSON object";
    const auto mustBeString = [](const char* key) {
        return kConfigPath + ": \"" + key + "\" must be a non-empty string";
    };
    const struct {
        std::optional<std::string> config;
        std::optional<std::string> snapshot;
        std::string message;
    } cases[] = {
        {std::nullopt, kGoodSnapshot, "Cannot read " + kConfigPath},
        {"", kGoodSnapshot, notObject},
        {"[]", kGoodSnapshot, notObject},
        {"\xEF\xBB\xBF{" + good + "}", kGoodSnapshot, notObject},
        {"{" + good + ",}", kGoodSnapshot, notObject},
        {"{" + good + "} // note", kGoodSnapshot, notObject},
        {std::string("{\0\"", 3) + good + "}", kGoodSnapshot, notObject},
        {R"({"offlineMessage":"m","snapshotFile":"s"})", kGoodSnapshot,
         mustBeString("discoveryFile")},
        {R"({"discoveryFile":"","offlineMessage":"m","snapshotFile":"s"})", kGoodSnapshot,
         mustBeString("discoveryFile")},
        {R"({"discoveryFile":5,"snapshotFile":""})", kGoodSnapshot, mustBeString("discoveryFile")},
        {R"({"discoveryFile":null})", kGoodSnapshot, mustBeString("discoveryFile")},
        {R"({"discoveryFile":"d","snapshotFile":"s"})", kGoodSnapshot,
         mustBeString("offlineMessage")},
        {R"({"discoveryFile":"d","offlineMessage":"m","serializeToolCalls":"false"})",
         kGoodSnapshot, kConfigPath + ": \"serializeToolCalls\" must be true or false"},
        {R"({"discoveryFile":"d","offlineMessage":"m","serializeToolCalls":0,"snapshotFile":"s"})",
         std::nullopt, kConfigPath + ": \"serializeToolCalls\" must be true or false"},
        {R"({"discoveryFile":"d","offlineMessage":"m","snapshotFile":[]})", kGoodSnapshot,
         mustBeString("snapshotFile")},
        // The snapshot is checked last.
        {"{" + good + "}", std::nullopt, "Cannot read " + kSnapshotPath},
        {"{" + good + "}", "[]", kSnapshotPath + " is not a JSON object"},
        {"{" + good + "}", "\xEF\xBB\xBF" + kGoodSnapshot, kSnapshotPath + " is not a JSON object"},
        {"{" + good + "}", R"({"initialize":{}})",
         kSnapshotPath + ": needs an \"initialize\" object and a \"tools\" array"},
        {"{" + good + "}", R"({"initialize":"{}","tools":[]})",
         kSnapshotPath + ": needs an \"initialize\" object and a \"tools\" array"},
        {"{" + good + "}", R"({"initialize":{},"tools":{}})",
         kSnapshotPath + ": needs an \"initialize\" object and a \"tools\" array"},
    };
    for (const auto& c : cases) {
        Files files;
        if (c.config) files.contents[kConfigPath] = *c.config;
        if (c.snapshot) files.contents[kSnapshotPath] = *c.snapshot;
        EXPECT_EQ(loadError(files), c.message) << c.config.value_or("(missing)");
    }
}

TEST(LoadConfig, RejectsPathValuesThatAreNotUtf8) {
    for (const char* key : {"discoveryFile", "snapshotFile"}) {
        Files files;
        std::string config = R"({"discoveryFile":"d","offlineMessage":"m","snapshotFile":"s"})";
        const std::string needle = std::string("\"") + key + "\":\"";
        config.insert(config.find(needle) + needle.size(), "\xC3\x28");
        files.contents[kConfigPath] = config;
        const std::string message = loadError(files);
        EXPECT_NE(message, "loaded") << key;
        EXPECT_EQ(message.find("must be"), std::string::npos) << message;
    }
}

}  // namespace
