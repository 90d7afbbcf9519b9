// The bridge's configuration: one JSON file beside the executable, named like it with the
// extension ".json", read once at start-up together with the snapshot file it names.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>

#include "config/file_reader.h"
#include "config/snapshot.h"

struct BridgeConfig {
    std::string discoveryPath;   // where the app publishes its endpoint and token
    std::string offlineMessage;  // the text of offline tool-call results and errors, UTF-8
    Snapshot snapshot;           // the app's recorded initialize result and tool list
    bool serializeToolCalls = true;
    std::int64_t requestTimeoutMs = 15000;  // the bridge's own requests to the app
};

// The configuration file's path: the executable's path with its extension replaced by ".json".
std::string configFilePath();

// The user's local application-data folder, the base of a relative discovery-file path; empty when
// it can't be determined.
std::string localAppDataFolder();

// Loads and checks the configuration and the snapshot. Throws std::runtime_error carrying a
// one-line message for the user on the first problem found.
BridgeConfig loadConfig(const std::string& configPath, const std::string& localAppData,
                        const FileReader& readFile);
BridgeConfig loadConfig(const std::string& configPath, const std::string& localAppData);

// Reads and parses a file whose root must be a JSON object; throws "Cannot read <path>" or
// "<path> is not a JSON object".
rapidjson::Document readJsonObjectFile(const std::string& path, const FileReader& readFile);

// The member `key` of the document's root object when it is a string of at least one byte; throws
// "<configPath>: "<key>" must be a non-empty string" otherwise.
std::string requireNonEmptyString(const rapidjson::Document& document, const char* key,
                                  const std::string& configPath);

// A path as it may appear in a message: checked to be expressible as UTF-8 text.
const std::string& pathForMessage(const std::string& path);
