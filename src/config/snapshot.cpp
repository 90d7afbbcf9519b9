#include "config/snapshot.h"

#include <stdexcept>

#include "config/config.h"
#include "config/path_rules.h"
#include "jsonrpc/replies.h"
#include "platform/platform.h"

Snapshot loadSnapshot(const std::string& configPath, const std::string& value,
                      const FileReader& readFile) {
    platform::checkPathText(value);
    const std::string path = nativepath::resolvePath(nativepath::folderOf(configPath), value);
    const rapidjson::Document document = readJsonObjectFile(path, readFile);
    const auto initialize = document.FindMember("initialize");
    const auto tools = document.FindMember("tools");
    if (initialize == document.MemberEnd() || !initialize->value.IsObject() ||
        tools == document.MemberEnd() || !tools->value.IsArray()) {
        throw std::runtime_error(pathForMessage(path) +
                                 ": needs an \"initialize\" object and a \"tools\" array");
    }
    return Snapshot{jsonrpc::toJsonText(initialize->value), jsonrpc::toJsonText(tools->value)};
}
