// Loading the configuration and the snapshot from memory. Input: the configuration text, then,
// after the first line holding only "%%", the text of every other file (the snapshot, wherever
// the configuration puts it); without that line no other file exists. Properties: loading either
// throws an exception derived from std::exception with a message, or returns a configuration with
// a discovery path and an offline message, the snapshot's initialize object and tools array as
// compact texts. The path rules of both platforms are run on the values as well.
#include <stdexcept>

#include "config/config.h"
#include "config/path_rules.h"
#include "fuzz_support.h"

namespace {

using fuzzing::fail;

const std::string kConfigPath = "/opt/bridge/mcp-bridge.json";
const std::string kSeparator = "\n%%\n";

void checkCompact(const std::string& text, rapidjson::Type type, const char* what) {
    // Read back at full precision, every number is the double that was written, so writing the
    // document again gives the same text exactly when the text was compact.
    // Read as the bridge reads: a lone surrogate escape is valid JSON that RapidJSON refuses.
    const std::string readable = jsonrpc::tolerableJson(text.c_str());
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(
        readable.data(), readable.size());
    if (document.HasParseError() || document.GetType() != type) fail(what, text);
    // Numbers past the double range read back as NaN at full precision: compare without them.
    bool nonFinite = false;
    const std::string rewritten = fuzzing::compactText(document, &nonFinite);
    if (!nonFinite && !fuzzing::holdsSurrogateForm(rewritten) &&
        !fuzzing::holdsSurrogateEscape(text) && rewritten != text) {
        fail("a snapshot text is not compact", text);
    }
}

void runPathRules(const std::string& value) {
    for (const std::string& base : {std::string("C:\\Users\\u\\AppData\\Local"), std::string(),
                                    std::string("\\\\server\\share"), std::string("C:")}) {
        (void)winpath::resolvePath(base, value);
        (void)winpath::resolvePath(value, base);
    }
    (void)winpath::replaceExtensionWithJson(value);
    (void)winpath::folderOf(value);
    (void)posixpath::resolvePath("/home/u/.local/share", value);
    (void)posixpath::replaceExtensionWithJson(value);
    (void)posixpath::folderOf(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzzing::bytes(data, size);
    const std::size_t split = input.find(kSeparator);
    const std::string configText = input.substr(0, split);
    const std::optional<std::string> otherFiles =
        split == std::string::npos
            ? std::nullopt
            : std::optional<std::string>(input.substr(split + kSeparator.size()));
    const FileReader reader = [&](const std::string& path) -> std::optional<std::string> {
        if (path == kConfigPath) return configText;
        return otherFiles;
    };

    runPathRules(configText);
    BridgeConfig config;
    try {
        config = loadConfig(kConfigPath, "/home/u/.local/share", reader);
    } catch (const std::exception& failure) {
        if (std::string(failure.what()).empty()) fail("an error without a message", input);
        return 0;
    }
    if (config.discoveryPath.empty()) fail("no discovery path", input);
    if (config.offlineMessage.empty()) fail("no offline message", input);
    if (config.requestTimeoutMs != 15000) fail("the request time-out changed", input);
    checkCompact(config.snapshot.initializeJson, rapidjson::kObjectType,
                 "the initialize text is not an object");
    checkCompact(config.snapshot.toolsJson, rapidjson::kArrayType,
                 "the tools text is not an array");
    runPathRules(config.discoveryPath);
    return 0;
}
