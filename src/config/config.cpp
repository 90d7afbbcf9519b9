#include "config/config.h"

#include <stdexcept>

#include "config/path_rules.h"
#include "jsonrpc/json.h"
#include "platform/platform.h"

std::string configFilePath() {
    return nativepath::replaceExtensionWithJson(platform::executablePath());
}

std::string localAppDataFolder() {
    return platform::localAppDataFolder();
}

const std::string& pathForMessage(const std::string& path) {
    platform::checkPathText(path);
    return path;
}

rapidjson::Document readJsonObjectFile(const std::string& path, const FileReader& readFile) {
    const std::optional<std::string> content = readFile(path);
    if (!content) throw std::runtime_error("Cannot read " + pathForMessage(path));
    rapidjson::Document document;
    jsonrpc::parseJson(document, *content);
    if (document.HasParseError() || !document.IsObject()) {
        throw std::runtime_error(pathForMessage(path) + " is not a JSON object");
    }
    return document;
}

std::string requireNonEmptyString(const rapidjson::Document& document, const char* key,
                                  const std::string& configPath) {
    const auto member = document.FindMember(key);
    if (member == document.MemberEnd() || !member->value.IsString() ||
        member->value.GetStringLength() == 0) {
        throw std::runtime_error(pathForMessage(configPath) + ": \"" + key +
                                 "\" must be a non-empty string");
    }
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

BridgeConfig loadConfig(const std::string& configPath, const std::string& localAppData,
                        const FileReader& readFile) {
    const rapidjson::Document document = readJsonObjectFile(configPath, readFile);
    BridgeConfig config;

    const std::string discoveryFile = requireNonEmptyString(document, "discoveryFile", configPath);
    platform::checkPathText(discoveryFile);
    config.discoveryPath = nativepath::resolvePath(localAppData, discoveryFile);

    config.offlineMessage = requireNonEmptyString(document, "offlineMessage", configPath);

    const auto serialize = document.FindMember("serializeToolCalls");
    if (serialize != document.MemberEnd()) {
        if (!serialize->value.IsBool()) {
            throw std::runtime_error(pathForMessage(configPath) +
                                     ": \"serializeToolCalls\" must be true or false");
        }
        config.serializeToolCalls = serialize->value.GetBool();
    }

    const std::string snapshotFile = requireNonEmptyString(document, "snapshotFile", configPath);
    config.snapshot = loadSnapshot(configPath, snapshotFile, readFile);
    return config;
}

BridgeConfig loadConfig(const std::string& configPath, const std::string& localAppData) {
    return loadConfig(configPath, localAppData, platform::readWholeFile);
}
